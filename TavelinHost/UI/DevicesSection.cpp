#include "TavelinHost/UI/DevicesSection.hpp"

#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

DevicesSection::DevicesSection(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(ui::sectionHeading(QStringLiteral("phone"), QStringLiteral("Devices"), this));
  auto* frame = ui::card(this);
  rows_ = new QVBoxLayout(frame);
  layout->addWidget(frame);
  connect(&model_.phones(), &Phones::devicesChanged, this, &DevicesSection::rebuild);
  connect(&model_.connection(), &HostConnection::connectedDeviceIDsChanged, this,
          &DevicesSection::refreshStatus);
  connect(&model_.connection(), &HostConnection::frameCountsChanged, this,
          &DevicesSection::refreshStatus);
  connect(&model_.connection(), &HostConnection::streamsChanged, this,
          &DevicesSection::refreshStatus);
  connect(&model_.sharing(), &PortalSharing::portalsChanged, this, &DevicesSection::refreshStatus);
  rebuild();
}

void DevicesSection::rebuild() {
  ui::clearLayout(rows_);
  status_.clear();
  watching_.clear();
  const auto devices = model_.phones().devices();
  if (devices.empty()) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(ui::iconLabel(QStringLiteral("phone-off"), 20, this));
    row->addWidget(ui::noteLabel(QStringLiteral("No paired devices"), this));
    row->addStretch();
    rows_->addLayout(row);
    return;
  }
  for (const PairedDevice& device : devices) {
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("DeviceRow"));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 2, 0, 2);
    // The row itself opens the device's history.
    auto* open = new QPushButton(row);
    open->setFlat(true);
    open->setAccessibleName(ui::qt(device.name));
    open->setAccessibleDescription(QStringLiteral("Show the device's history"));
    open->setCursor(Qt::PointingHandCursor);
    auto* texts = new QVBoxLayout(open);
    texts->setContentsMargins(6, 4, 6, 4);
    auto* name = ui::boldLabel(ui::qt(device.name), open);
    name->setAttribute(Qt::WA_TransparentForMouseEvents);
    texts->addWidget(name);
    auto* status = ui::plainLabel(QString(), open);
    status->setObjectName(QStringLiteral("status"));
    status->setAttribute(Qt::WA_TransparentForMouseEvents);
    texts->addWidget(status);
    status_[device.id] = status;
    auto* watching = ui::plainLabel(QString(), open);
    watching->setObjectName(QStringLiteral("watching"));
    watching->setAttribute(Qt::WA_TransparentForMouseEvents);
    texts->addWidget(watching);
    watching_[device.id] = watching;
    for (const QString& note : {QStringLiteral("Last used ") + ui::dateText(device.lastSeenAt),
                                QStringLiteral("Added ") + ui::dateText(device.pairedAt)}) {
      auto* label = ui::noteLabel(note, open);
      label->setAttribute(Qt::WA_TransparentForMouseEvents);
      texts->addWidget(label);
    }
    open->setMinimumHeight(texts->sizeHint().height());
    open->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    connect(open, &QPushButton::clicked, this, [this, device] {
      model_.setSheet(SheetKind{SheetKind::Kind::deviceHistory, {}, false, device});
    });
    line->addWidget(open, 1);

    auto* more = ui::moreActionsButton(row);
    QMenu* menu = more->menu();
    menu->addAction(QStringLiteral("Revoke Access"), this, [this, device] {
      const bool yes = ui::confirm(
          window(),
          {QStringLiteral("Revoke access for \u201C") + ui::qt(device.name) +
               QStringLiteral("\u201D?"),
           QStringLiteral("The device is disconnected and must pair again with a new PIN."),
           QStringLiteral("Revoke Access")});
      if (yes) model_.phones().revoke(device.id);
    });
    line->addWidget(more, 0, Qt::AlignTop);
    rows_->addWidget(row);
  }
  refreshStatus();
}

void DevicesSection::refreshStatus() {
  const auto connected = model_.connection().connectedDeviceIDs();
  const auto counts = model_.connection().frameCounts();
  for (const auto& [id, label] : status_) {
    const bool isConnected = connected.count(id) > 0;
    label->setVisible(isConnected);
    if (!isConnected) continue;
    const auto count = counts.find(id);
    label->setText(QStringLiteral("Connected \u00B7 ") +
                   QString::number(count == counts.end() ? 0 : count->second) +
                   QStringLiteral(" frames"));
  }
  const auto& portals = model_.sharing().portals();
  for (const auto& [id, label] : watching_) {
    QStringList watched;
    for (const HostConnection::Stream& stream : model_.connection().refreshedStreams()) {
      if (stream.device != id) continue;
      const auto portal =
          std::find_if(portals.begin(), portals.end(),
                       [&](const Portal& candidate) { return candidate.id == stream.portal; });
      watched << (portal == portals.end() ? QStringLiteral("Choosing a portal")
                                          : QStringLiteral("Watching \u201C") +
                                                ui::qt(portal->name) + QStringLiteral("\u201D"));
    }
    watched.removeDuplicates();
    label->setText(watched.join(QStringLiteral(" \u00B7 ")));
    label->setVisible(!watched.isEmpty());
    // The row is as tall as the lines it shows now.
    QWidget* open = label->parentWidget();
    open->layout()->invalidate();
    open->setMinimumHeight(open->layout()->sizeHint().height());
  }
}

}  // namespace tavelin
