#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"

namespace tavelin {

// One-time tickets that open the stream socket: a device trades its token for one and puts it
// in the socket's query string. A ticket is spent by its first consume, whatever the outcome,
// and is good for 30 s. In memory only. Any thread; the clock is read under the lock.
class TicketStore {
 public:
  static constexpr std::chrono::seconds timeToLive{30};
  static constexpr std::size_t capacity = 128;

  explicit TicketStore(Clock now = systemClock()) : now_(std::move(now)) {}

  // 43 characters of the URL-safe Base64 alphabet; the oldest ticket makes room at capacity.
  std::string issue(const Uuid& deviceID);
  // The device the ticket was issued to, if it is live and not older than timeToLive.
  std::optional<Uuid> consume(const std::optional<std::string>& ticket);

  std::size_t liveCount();

 private:
  struct Entry {
    Uuid deviceID;
    Date issuedAt;
  };

  void pruneLocked();

  const Clock now_;
  std::mutex lock_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace tavelin
