#include "TavelinHost/UI/PairingNotifications.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QVariantMap>
#include <algorithm>

#include "TavelinHost/App/Phones.hpp"

namespace tavelin {

namespace {

constexpr const char* interface = "org.freedesktop.Notifications";

QDBusMessage call(const char* method) {
  return QDBusMessage::createMethodCall(QLatin1String(PairingNotifications::service),
                                        QLatin1String(PairingNotifications::path),
                                        QLatin1String(interface), QLatin1String(method));
}

}  // namespace

PairingNotifications::PairingNotifications(Phones& phones, HostLogSink log, QDBusConnection bus,
                                           QObject* parent)
    : QObject(parent), phones_(phones), log_(std::move(log)), bus_(std::move(bus)) {
  // From any sender on the path: matching the service's name would drop what comes before Qt
  // has looked up its owner. Only notifications of ours are acted on.
  bus_.connect(QString(), QLatin1String(path), QLatin1String(interface),
               QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
  bus_.connect(QString(), QLatin1String(path), QLatin1String(interface),
               QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
  connect(&phones_, &Phones::pendingRequestsChanged, this, &PairingNotifications::refresh);
  refresh();
}

PairingNotifications::~PairingNotifications() {
  for (const auto& [request, notification] : shown_) close(notification);
}

std::size_t PairingNotifications::shownCount() const { return shown_.size(); }

void PairingNotifications::refresh() {
  const auto& pending = phones_.pendingRequests();
  auto waiting = [&](const Uuid& id) {
    return std::any_of(pending.begin(), pending.end(),
                       [&](const PendingPairing& request) { return request.id == id; });
  };
  // Answered, denied or expired: its notification has nothing left to ask.
  for (auto it = shown_.begin(); it != shown_.end();) {
    if (waiting(it->first)) {
      ++it;
      continue;
    }
    close(it->second);
    it = shown_.erase(it);
  }
  std::erase_if(asked_, [&](const Uuid& id) { return !waiting(id); });
  for (const PendingPairing& request : pending) {
    if (asked_.insert(request.id).second) {
      notify(request.id, QString::fromStdString(request.deviceName));
    }
  }
}

void PairingNotifications::notify(const Uuid& request, const QString& deviceName) {
  QDBusMessage message = call("Notify");
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral(TAVELIN_APP_ID));
  hints.insert(QStringLiteral("category"), QStringLiteral("network"));
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
  message << QStringLiteral("Tavelin") << uint{0} << QStringLiteral("tavelin")
          << deviceName + QStringLiteral(" wants to connect")
          << QStringLiteral("Allow it to see and control the portals you share?")
          << QStringList{QStringLiteral("allow"), QStringLiteral("Allow"), QStringLiteral("deny"),
                         QStringLiteral("Deny")}
          << hints << 0;  // stays until answered
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, request](QDBusPendingCallWatcher* finished) {
            finished->deleteLater();
            const QDBusPendingReply<uint> reply = *finished;
            if (reply.isError()) {
              if (!saidUnavailable_ && log_) {
                saidUnavailable_ = true;
                log_("Pairing",
                     "Requests to connect wait in the window only: no desktop "
                     "notifications (" +
                         reply.error().name().toStdString() + ")");
              }
              return;
            }
            // Answered while the notification was on its way.
            if (asked_.count(request) == 0) {
              close(reply.value());
              return;
            }
            shown_[request] = reply.value();
          });
}

void PairingNotifications::close(uint notification) {
  QDBusMessage message = call("CloseNotification");
  message << notification;
  bus_.asyncCall(message);
}

void PairingNotifications::actionInvoked(uint notification, const QString& action) {
  const auto found = std::find_if(shown_.begin(), shown_.end(),
                                  [&](const auto& entry) { return entry.second == notification; });
  if (found == shown_.end()) return;
  const Uuid request = found->first;
  shown_.erase(found);
  if (action == QLatin1String("allow")) {
    phones_.approve(request);
  } else if (action == QLatin1String("deny")) {
    phones_.deny(request);
  }
}

void PairingNotifications::notificationClosed(uint notification, uint /*reason*/) {
  // Dismissed: the request still waits in the window.
  std::erase_if(shown_, [&](const auto& entry) { return entry.second == notification; });
}

}  // namespace tavelin
