#include "TavelinHost/UI/BannerLane.hpp"

#include <QBoxLayout>
#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

BannerLane::BannerLane(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  rows_ = new QVBoxLayout(this);
  rows_->setContentsMargins(0, 0, 0, 0);
  connect(&model_.diagnostics(), &HostDiagnostics::issuesChanged, this, &BannerLane::refresh);
  refresh();
}

void BannerLane::refresh() {
  ui::clearLayout(rows_);
  const auto issues = model_.diagnostics().issues();
  setVisible(!issues.empty());
  for (const HostIssue& issue : issues) {
    auto* banner = ui::card(this);
    banner->setObjectName(QStringLiteral("BannerView"));
    banner->setAccessibleName(issue.title);
    // A tinted background marks the banner's tone without fixing colours for light or dark.
    QPalette palette = banner->palette();
    const QColor tint =
        issue.tone == HostIssue::Tone::error ? QColor(220, 53, 69) : QColor(230, 160, 20);
    QColor base = palette.color(QPalette::Base);
    base = QColor::fromRgbF(base.redF() * 0.85f + tint.redF() * 0.15f,
                            base.greenF() * 0.85f + tint.greenF() * 0.15f,
                            base.blueF() * 0.85f + tint.blueF() * 0.15f);
    palette.setColor(QPalette::Base, base);
    banner->setPalette(palette);
    auto* row = new QHBoxLayout(banner);
    row->addWidget(ui::iconLabel(issue.iconName, 24, banner));
    auto* texts = new QVBoxLayout;
    texts->addWidget(ui::boldLabel(issue.title, banner));
    texts->addWidget(ui::plainLabel(issue.detail, banner));
    if (issue.command) {
      auto* command = ui::plainLabel(*issue.command, banner);
      command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
      command->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
      command->setAccessibleName(QStringLiteral("Command"));
      texts->addWidget(command);
    }
    row->addLayout(texts, 1);
    auto* actions = new QVBoxLayout;
    // The desktop has no settings page to open for these; what the user can do is run the
    // command, so the banner's action copies it.
    if (issue.command) {
      auto* copy = new QPushButton(QStringLiteral("Copy Command"), banner);
      connect(copy, &QPushButton::clicked, this,
              [command = *issue.command] { QGuiApplication::clipboard()->setText(command); });
      actions->addWidget(copy);
    }
    actions->addStretch();
    row->addLayout(actions);
    rows_->addWidget(banner);
  }
}

}  // namespace tavelin
