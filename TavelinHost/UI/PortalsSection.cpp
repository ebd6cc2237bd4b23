#include "TavelinHost/UI/PortalsSection.hpp"

#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

PortalsSection::PortalsSection(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(ui::sectionHeading(QStringLiteral("region"), QStringLiteral("Portals"), this));
  auto* frame = ui::card(this);
  rows_ = new QVBoxLayout(frame);
  layout->addWidget(frame);
  connect(&model_.sharing(), &PortalSharing::portalsChanged, this, &PortalsSection::rebuild);
  connect(&model_.sharing(), &PortalSharing::activePortalIDChanged, this,
          &PortalsSection::refreshStates);
  connect(&model_.sharing(), &PortalSharing::captureStateChanged, this,
          &PortalsSection::refreshStates);
  connect(&model_.sharing(), &PortalSharing::portalStatesChanged, this,
          &PortalsSection::refreshStates);
  connect(&model_.connection(), &HostConnection::streamsChanged, this,
          &PortalsSection::refreshWatchers);
  connect(&model_.phones(), &Phones::devicesChanged, this, &PortalsSection::refreshWatchers);
  rebuild();
}

void PortalsSection::rebuild() {
  ui::clearLayout(rows_);
  watchers_.clear();
  const auto portals = model_.sharing().portals();
  if (portals.empty()) {
    auto* title = ui::boldLabel(QStringLiteral("No portals yet"), this);
    title->setAlignment(Qt::AlignHCenter);
    rows_->addWidget(title);
    auto* explanation = ui::noteLabel(
        QStringLiteral("A portal shares exactly one thing \u2014 a region, a window, or part of a "
                       "window. Nothing else from your desktop is streamed."),
        this);
    explanation->setAlignment(Qt::AlignHCenter);
    rows_->addWidget(explanation);
    auto* create =
        new QPushButton(symbolIcon(QStringLiteral("plus")), QStringLiteral("Create Portal"), this);
    connect(create, &QPushButton::clicked, this, [this] {
      model_.setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
    });
    auto* centre = new QHBoxLayout;
    centre->addStretch();
    centre->addWidget(create);
    centre->addStretch();
    rows_->addLayout(centre);
    return;
  }
  bool first = true;
  for (const Portal& portal : portals) {
    if (!first) {
      auto* line = new QFrame(this);
      line->setFrameShape(QFrame::HLine);
      line->setFrameShadow(QFrame::Sunken);
      rows_->addWidget(line);
    }
    first = false;
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("PortalRow"));
    row->setProperty("portalID", QString::fromStdString(portal.id.string()));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 2, 0, 2);
    auto* texts = new QVBoxLayout;
    texts->addWidget(ui::boldLabel(ui::qt(portal.name), row));
    texts->addWidget(ui::noteLabel(ui::qt(portal.summary()), row));
    auto* state = ui::noteLabel(QString(), row);
    state->setObjectName(QStringLiteral("state"));
    texts->addWidget(state);
    line->addLayout(texts, 1);

    auto* toggle = new QToolButton(row);
    toggle->setObjectName(QStringLiteral("toggle"));
    toggle->setAutoRaise(true);
    toggle->setIconSize({20, 20});
    connect(toggle, &QToolButton::clicked, this,
            [this, portal] { model_.sharing().toggle(portal); });
    line->addWidget(toggle);

    auto* more =
        ui::moreActionsButton(row, QStringLiteral("More actions for ") + ui::qt(portal.name));
    QMenu* menu = more->menu();
    menu->addAction(QStringLiteral("Edit\u2026"), this, [this, portal] {
      model_.setSheet(SheetKind{SheetKind::Kind::edit, portal, false, {}});
    });
    menu->addAction(QStringLiteral("Delete"), this, [this, portal] {
      const bool yes = ui::confirm(
          window(),
          {QStringLiteral("Delete \u201C") + ui::qt(portal.name) + QStringLiteral("\u201D?"),
           QStringLiteral("Any phone currently viewing this portal is disconnected."),
           QStringLiteral("Delete")});
      if (yes) model_.sharing().remove(portal);
    });
    line->addWidget(more);
    rows_->addWidget(row);
    auto* watchers = new QVBoxLayout;
    watchers->setContentsMargins(16, 0, 0, 0);
    watchers->setSpacing(2);
    rows_->addLayout(watchers);
    watchers_[portal.id] = watchers;
  }
  refreshStates();
  refreshWatchers();
}

void PortalsSection::refreshWatchers() {
  const auto& streams = model_.connection().refreshedStreams();
  for (const auto& [portal, list] : watchers_) {
    ui::clearLayout(list);
    for (const HostConnection::Stream& stream : streams) {
      if (stream.portal != portal) continue;
      const QString name = ui::qt(model_.phones().deviceName(stream.device));
      auto* watcher = new QWidget(this);
      watcher->setObjectName(QStringLiteral("WatcherRow"));
      auto* line = new QHBoxLayout(watcher);
      line->setContentsMargins(0, 0, 0, 0);
      line->addWidget(ui::iconLabel(QStringLiteral("phone"), 16, watcher));
      line->addWidget(ui::plainLabel(name, watcher));
      line->addWidget(ui::noteLabel(ui::qt(stream.address) + QStringLiteral(" \u00B7 ") +
                                        ui::sinceText(stream.since),
                                    watcher),
                      1);
      auto* disconnect = new QPushButton(QStringLiteral("Disconnect"), watcher);
      disconnect->setAccessibleName(QStringLiteral("Disconnect ") + name);
      disconnect->setToolTip(
          QStringLiteral("Close this phone's stream now; it stays paired and may connect again"));
      connect(disconnect, &QPushButton::clicked, this,
              [this, device = stream.device] { model_.connection().disconnect(device); });
      line->addWidget(disconnect);
      list->addWidget(watcher);
    }
  }
}

void PortalsSection::refreshStates() {
  const auto portals = model_.sharing().portals();
  for (auto* row : findChildren<QWidget*>(QStringLiteral("PortalRow"))) {
    const auto id = Uuid::parse(row->property("portalID").toString().toStdString());
    const auto portal = std::find_if(portals.begin(), portals.end(),
                                     [&](const Portal& candidate) { return candidate.id == id; });
    if (portal == portals.end()) continue;
    if (auto* state = row->findChild<QLabel*>(QStringLiteral("state"))) {
      state->setText(model_.sharing().portalStateText(*portal));
    }
    if (auto* toggle = row->findChild<QToolButton*>(QStringLiteral("toggle"))) {
      toggle->setIcon(symbolIcon(portal->shared ? QStringLiteral("stop") : QStringLiteral("play")));
      const QString help = portal->shared ? QStringLiteral("Stop sharing this portal")
                                          : QStringLiteral("Start sharing this portal");
      toggle->setToolTip(help);
      toggle->setAccessibleName(help);
    }
  }
}

}  // namespace tavelin
