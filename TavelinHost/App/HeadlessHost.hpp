#pragma once

#include <QObject>
#include <functional>
#include <set>
#include <string>

#include "TavelinHost/Runtime/CommandLine.hpp"
#include "TavelinHost/Runtime/SharingCommands.hpp"

namespace tavelin {

class AppModel;

// The host without a window, for servers, kiosks and terminals: the application model spoken
// to through lines. Out: URL, PIN, REQUEST, PAIRED, CONNECTED, DISCONNECTED, INPUT and LOG
// lines as things happen. In: one command per line, each answered by lines starting with "OK"
// or "ERROR <reason>" (see `help`).
class HeadlessHost final : public QObject, public SharingHost {
  Q_OBJECT
 public:
  using Emit = std::function<void(const std::string&)>;

  HeadlessHost(AppModel& model, Emit emit, bool showQrCode);

  // Starts the model; with no portals at all, shares the whole main display as "Screen".
  void start();
  // One command line; false for "quit".
  bool command(const std::string& line) { return commands_.run(line); }
  std::string help() const { return commands_.help(); }

  void newPin() override;
  PendingPairingStore::Decision answer(const Uuid& request, bool allow) override;
  std::vector<PortalEntry> portalEntries() const override;
  bool setShared(const Uuid& portal, bool shared) override;
  void stopAllSharing() override;

 private:
  void addDesktopCommands();
  std::optional<Portal> portalNamed(const std::string& id) const;
  // The paired device of that id; nothing for another text or a device not paired.
  std::optional<Uuid> pairedDeviceNamed(const std::string& id) const;

  AppModel& model_;
  const Emit emit_;
  const bool showQrCode_;
  CommandLine commands_;
  std::set<Uuid> announcedRequests_;
  std::set<Uuid> connected_;
};

}  // namespace tavelin
