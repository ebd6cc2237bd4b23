#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <map>
#include <set>

#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"

namespace tavelin {

class Phones;

// A request to pair that waits for the user's approval also raises a desktop notification
// (the freedesktop notification service on the session bus) with the actions Allow and Deny.
// The request still waits in the window; an answer in either place, or the request's end,
// closes the notification. Without a notification service the window alone asks: that is
// said once in the log and is no error. GUI thread.
class PairingNotifications : public QObject {
  Q_OBJECT
 public:
  static constexpr const char* service = "org.freedesktop.Notifications";
  static constexpr const char* path = "/org/freedesktop/Notifications";

  PairingNotifications(Phones& phones, HostLogSink log,
                       QDBusConnection bus = QDBusConnection::sessionBus(),
                       QObject* parent = nullptr);
  ~PairingNotifications() override;

  // Requests whose notification is on screen now.
  std::size_t shownCount() const;

 private Q_SLOTS:
  void actionInvoked(uint notification, const QString& action);
  void notificationClosed(uint notification, uint reason);

 private:
  void refresh();
  void notify(const Uuid& request, const QString& deviceName);
  void close(uint notification);

  Phones& phones_;
  const HostLogSink log_;
  QDBusConnection bus_;
  std::set<Uuid> asked_;        // requests that had their notification (never raised twice)
  std::map<Uuid, uint> shown_;  // request → its notification, once the service answered
  bool saidUnavailable_ = false;
};

}  // namespace tavelin
