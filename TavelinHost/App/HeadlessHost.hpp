#pragma once

#include <QObject>
#include <functional>
#include <set>
#include <string>

#include "TavelinHost/App/AppModel.hpp"

namespace tavelin {

// The host without a window, for servers, kiosks and terminals: the application model spoken
// to through lines. Out: URL, PIN, REQUEST, PAIRED, CONNECTED, DISCONNECTED, INPUT and LOG
// lines as things happen. In: one command per line, each answered by lines starting with "OK"
// or "ERROR <reason>" (see `help`).
class HeadlessHost : public QObject {
  Q_OBJECT
 public:
  using Emit = std::function<void(const std::string&)>;

  HeadlessHost(AppModel& model, Emit emit, bool showQrCode);

  // Starts the model; with no portals at all, shares the whole main display as "Screen".
  void start();
  // One command line; false for "quit".
  bool command(const std::string& line);

  static const char* help();

 private:
  void listWindows(const std::function<void(const std::vector<WindowInfo>&)>& then);
  std::optional<Portal> portalNamed(const std::string& id) const;

  AppModel& model_;
  const Emit emit_;
  const bool showQrCode_;
  std::set<Uuid> announcedRequests_;
  std::set<Uuid> connected_;
};

}  // namespace tavelin
