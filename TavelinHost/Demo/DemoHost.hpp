#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TavelinHost/Input/InputService.hpp"
#include "TavelinHost/Portals/MultiPortalController.hpp"
#include "TavelinHost/Runtime/CommandLine.hpp"
#include "TavelinHost/Runtime/HostSettings.hpp"
#include "TavelinHost/Runtime/SharingCommands.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Pairing/PendingPairingStore.hpp"
#include "TavelinServer/StreamingServer.hpp"

namespace tavelin {

// A headless host that streams synthetic portals through the real server and the real portal
// routing, for trying the phone page, benchmarks and end-to-end tests without a desktop. It
// reports what happens as one line per event (input as the events it would post) and takes
// commands one per line (see `command`).
class DemoHost final : public SharingHost, public std::enable_shared_from_this<DemoHost> {
 public:
  using Emit = std::function<void(const std::string&)>;

  // Portals of a real desktop instead of the synthetic ones: their sources and where their
  // input goes.
  struct Desktop {
    std::vector<Portal> portals;
    std::shared_ptr<const PortalSourceMaking> factory;
    InputService::Desktop input;
  };

  // The paired devices live in `folder`, whose failed saves it retries every second.
  DemoHost(HostSettings settings, std::shared_ptr<DataFolder> folder, std::filesystem::path webRoot,
           Emit emit, std::optional<Desktop> desktop = std::nullopt);

  // Throws std::system_error when no port can be bound.
  void start();
  void stop();
  // The sharing commands (see addSharingCommands) and help; false for "quit".
  bool command(const std::string& line) { return commands_.run(line); }

  void newPin() override;
  PendingPairingStore::Decision answer(const Uuid& request, bool allow) override;
  std::vector<PortalEntry> portalEntries() const override;
  bool setShared(const Uuid& portal, bool shared) override;
  void stopAllSharing() override;

 private:
  void announceRequests();
  void log(const std::string& category, const std::string& message);

  const HostSettings settings_;
  const std::shared_ptr<DataFolder> folder_;
  const Emit emit_;
  const std::optional<Desktop> desktop_;
  std::vector<Portal> portals() const;
  // Shares or stops the portal with that id (every portal without one); false when none has it.
  bool share(const std::optional<Uuid>& id, bool shared);
  CommandLine commands_;

  std::shared_ptr<PairingService> pairing_;
  std::shared_ptr<PendingPairingStore> approvals_;
  std::shared_ptr<StreamingServer> server_;
  std::shared_ptr<MultiPortalController> controller_;
  RepeatingTimer pinRotation_;

  mutable std::mutex lock_;
  std::vector<Portal> portals_;  // guarded by lock_
  std::set<Uuid> announced_;     // requests already reported; guarded by lock_
};

}  // namespace tavelin
