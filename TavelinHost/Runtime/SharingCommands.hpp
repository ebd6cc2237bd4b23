#pragma once

#include <vector>

#include "TavelinHost/Runtime/CommandLine.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Pairing/PendingPairingStore.hpp"

namespace tavelin {

// What every host without a window lets its command line do with pairing and sharing.
class SharingHost {
 public:
  struct PortalEntry {
    Portal portal;
    bool active = false;  // the one new phones get
  };

  virtual ~SharingHost() = default;
  virtual void newPin() = 0;
  virtual PendingPairingStore::Decision answer(const Uuid& request, bool allow) = 0;
  virtual std::vector<PortalEntry> portalEntries() const = 0;
  // Shares the portal (making it the active one) or stops sharing it; false when none has that
  // id. Phones watching a portal that stops are told at once.
  virtual bool setShared(const Uuid& portal, bool shared) = 0;
  virtual void stopAllSharing() = 0;
};

// pin, allow <request id>, deny <request id>, portals, start <portal id>, stop <portal id> and
// stop all, answered for `host` (which outlives the command line).
void addSharingCommands(CommandLine& commands, SharingHost& host);

}  // namespace tavelin
