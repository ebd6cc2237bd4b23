#include "TavelinHost/UI/DeviceHistorySheet.hpp"

#include <QBoxLayout>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

DeviceHistorySheet::DeviceHistorySheet(AppModel& model, PairedDevice device, QWidget* parent)
    : QDialog(parent), model_(model), device_(std::move(device)) {
  setWindowTitle(ui::qt(device_.name));
  resize(440, 480);
  auto* layout = new QVBoxLayout(this);
  auto* title = ui::plainLabel(ui::qt(device_.name), this);
  QFont bold = title->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.2);
  title->setFont(bold);
  layout->addWidget(title);
  auto* facts = new QFormLayout;
  facts->addRow(QStringLiteral("Added"), ui::plainLabel(ui::dateText(device_.pairedAt), this));
  facts->addRow(QStringLiteral("Last used"),
                ui::plainLabel(ui::dateText(device_.lastSeenAt), this));
  connections_ = ui::plainLabel(QString(), this);
  facts->addRow(QStringLiteral("Connections"), connections_);
  layout->addLayout(facts);
  timeline_ = new QListWidget(this);
  timeline_->setAccessibleName(QStringLiteral("Timeline"));
  timeline_->setSelectionMode(QAbstractItemView::NoSelection);
  layout->addWidget(timeline_, 1);
  empty_ = ui::noteLabel(QStringLiteral("Connections and disconnections will appear here."), this);
  empty_->setAlignment(Qt::AlignCenter);
  layout->addWidget(empty_);
  auto* buttons = new QHBoxLayout;
  auto* clear = new QPushButton(QStringLiteral("Clear History"), this);
  auto* done = new QPushButton(QStringLiteral("Done"), this);
  done->setDefault(true);
  buttons->addWidget(clear);
  buttons->addStretch();
  buttons->addWidget(done);
  layout->addLayout(buttons);
  connect(done, &QPushButton::clicked, this, &QDialog::accept);
  connect(clear, &QPushButton::clicked, this, [this] {
    const bool yes = ui::confirm(
        this, {QStringLiteral("Clear history for \u201C") + ui::qt(device_.name) +
                   QStringLiteral("\u201D?"),
               QStringLiteral("The device stays paired; only its recorded activity is removed."),
               QStringLiteral("Clear History")});
    if (yes) model_.phones().clearHistory(device_.id);
  });
  connect(&model_.phones(), &Phones::historyChanged, this, &DeviceHistorySheet::reload);
  reload();
}

void DeviceHistorySheet::reload() {
  auto events = model_.phones().history(device_.id);
  std::size_t connections = 0;
  for (const auto& event : events) {
    connections += event.kind == DeviceEvent::Kind::connected ? 1 : 0;
  }
  connections_->setText(QString::number(connections));
  timeline_->clear();
  std::reverse(events.begin(), events.end());
  for (const auto& event : events) {
    QString what;
    switch (event.kind) {
      case DeviceEvent::Kind::paired: what = QStringLiteral("Paired"); break;
      case DeviceEvent::Kind::connected: what = QStringLiteral("Connected"); break;
      case DeviceEvent::Kind::disconnected: what = QStringLiteral("Disconnected"); break;
    }
    timeline_->addItem(what + QStringLiteral(" \u00B7 ") + ui::dateText(event.at));
  }
  timeline_->setVisible(!events.empty());
  empty_->setVisible(events.empty());
}

}  // namespace tavelin
