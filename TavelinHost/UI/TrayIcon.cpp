#include "TavelinHost/UI/TrayIcon.hpp"

#include <QCoreApplication>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <algorithm>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/Symbols.hpp"

namespace tavelin {

TrayIcon::TrayIcon(AppModel& model, std::function<void()> openWindow, QObject* parent)
    : QObject(parent), model_(model), menu_(new QMenu), icon_(new QSystemTrayIcon(this)) {
  menu_->setTitle(QStringLiteral("Tavelin"));
  menu_->addAction(QStringLiteral("Open Tavelin"), this, openWindow);
  stopAll_ =
      menu_->addAction(symbolIcon(QStringLiteral("stop")), QStringLiteral("Stop All Sharing"), this,
                       [this] { model_.sharing().stopAllSharing(); });
  menu_->addAction(symbolIcon(QStringLiteral("copy")), QStringLiteral("Copy Link"), this,
                   [this] { model_.connection().copyLink(); });
  menu_->addSeparator();
  menu_->addAction(QStringLiteral("Quit Tavelin"), this, [] { QCoreApplication::quit(); });
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this,
          [openWindow = std::move(openWindow)](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
              openWindow();
            }
          });
  connect(&model_.sharing(), &PortalSharing::portalsChanged, this, &TrayIcon::refresh);
  connect(&model_.connection(), &HostConnection::streamsChanged, this, &TrayIcon::refresh);
  refresh();
}

TrayIcon::~TrayIcon() { delete menu_; }

bool TrayIcon::showIfAvailable() {
  // Where the tray comes later (it starts after us at login), Qt shows the icon then.
  icon_->show();
  return isShown();
}

bool TrayIcon::isShown() const {
  return icon_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

QIcon TrayIcon::picture(Look look) {
  constexpr int size = 64;
  QPixmap canvas(size, size);
  canvas.fill(Qt::transparent);
  QPainter painter(&canvas);
  painter.setRenderHint(QPainter::Antialiasing);
  const QIcon app = symbolIcon(QStringLiteral("tavelin"));
  // Idle is the application's picture, greyed: nothing leaves the computer.
  painter.drawPixmap(0, 0,
                     app.pixmap(size, size, look == Look::idle ? QIcon::Disabled : QIcon::Normal));
  if (look != Look::idle) {
    // A dot in the corner: blue while shared, red while a phone watches.
    const QColor dot = look == Look::watched ? QColor(220, 40, 40) : QColor(40, 120, 220);
    painter.setPen(QPen(Qt::white, 4));
    painter.setBrush(dot);
    painter.drawEllipse(QRectF(size * 0.52, size * 0.52, size * 0.44, size * 0.44));
  }
  painter.end();
  return QIcon(canvas);
}

TrayIcon::Counts TrayIcon::counts() const {
  const auto& streams = model_.connection().refreshedStreams();
  const auto& portals = model_.sharing().portals();
  return {
      static_cast<int>(
          std::count_if(portals.begin(), portals.end(), [](const Portal& p) { return p.shared; })),
      static_cast<int>(std::count_if(streams.begin(), streams.end(),
                                     [](const HostConnection::Stream& s) { return s.portal; }))};
}

QString TrayIcon::toolTip() const {
  const Counts now = counts();
  switch (look_) {
    case Look::idle: return QStringLiteral("Tavelin: nothing shared");
    case Look::shared:
      return now.shared == 1
                 ? QStringLiteral("Tavelin: 1 portal shared, no phone watching")
                 : QStringLiteral("Tavelin: %1 portals shared, no phone watching").arg(now.shared);
    case Look::watched:
      return now.watching == 1 ? QStringLiteral("Tavelin: 1 phone watching")
                               : QStringLiteral("Tavelin: %1 phones watching").arg(now.watching);
  }
  return {};
}

void TrayIcon::refresh() {
  const Counts now = counts();
  const Look look = now.watching > 0 ? Look::watched : now.shared > 0 ? Look::shared : Look::idle;
  if (look != look_ || icon_->icon().isNull()) {
    look_ = look;
    icon_->setIcon(picture(look_));
  }
  stopAll_->setEnabled(now.shared > 0);
  icon_->setToolTip(toolTip());
}

}  // namespace tavelin
