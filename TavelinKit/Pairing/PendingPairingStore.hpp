#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Pairing/PairingService.hpp"

namespace tavelin {

// A phone's request to pair, as the host user sees it. The name is cleaned as a device's name
// is, so the host user sees the name that would be paired.
struct PendingPairing {
  Uuid id;
  std::string deviceName;
  Date createdAt;

  friend bool operator==(const PendingPairing&, const PendingPairing&) = default;
};

struct ApprovedPairing {
  std::string token;
  std::string deviceId;  // upper-case UUID
  std::string deviceName;

  friend bool operator==(const ApprovedPairing&, const ApprovedPairing&) = default;
};

// The answer to a phone's poll.
struct PairStatus {
  enum class Kind { approved, pending, denied, expiredOrUnknown };

  Kind kind = Kind::expiredOrUnknown;
  ApprovedPairing approval;  // set only when approved

  friend bool operator==(const PairStatus&, const PairStatus&) = default;
};

// Pairing requests waiting for the host user's decision, in memory only. Every request lives
// 120 s from its creation whatever became of it; at most 8 wait at once. Any thread; onChange
// runs after the lock is released, and tokens are issued outside it.
class PendingPairingStore {
 public:
  static constexpr std::chrono::seconds timeToLive{120};
  static constexpr std::size_t maxWaiting = 8;

  explicit PendingPairingStore(std::shared_ptr<PairingService> pairing, Clock now = systemClock());

  // What became of an answer to a request.
  enum class Decision { made, alreadyMade, unknown };

  // Files a request; the oldest waiting one makes room when 8 are waiting.
  Uuid create(const std::string& deviceName);
  // Pairs the device of a waiting request. The first answer to a request is the one that counts:
  // another answer, however close behind and from whichever thread, pairs nothing more and is
  // told so.
  Decision approve(const Uuid& id);
  // Refuses a waiting request.
  Decision deny(const Uuid& id);
  PairStatus status(const Uuid& id);
  // The waiting requests, oldest first.
  std::vector<PendingPairing> waiting();

  std::function<void()> onChange;

 private:
  // `approving` while the token is issued outside the lock: no longer waiting, not yet
  // readable as approved.
  enum class Resolution { waiting, approving, approved, denied };
  struct Entry {
    PendingPairing request;
    Resolution resolution = Resolution::waiting;
    ApprovedPairing approval;  // set only when approved
  };

  void pruneLocked(Date now);

  const std::shared_ptr<PairingService> pairing_;
  const Clock now_;
  std::mutex lock_;
  std::unordered_map<Uuid, Entry> entries_;
};

}  // namespace tavelin
