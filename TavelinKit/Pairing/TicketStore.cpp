#include "TavelinKit/Pairing/TicketStore.hpp"

#include <algorithm>

#include "TavelinKit/Foundation/Crypto.hpp"

namespace tavelin {

// A ticket is good up to and including its 30th second, so pruning keeps that second too.
void TicketStore::pruneLocked() {
  const Date cutoff = now_() - timeToLive;
  std::erase_if(entries_, [&](const auto& item) { return item.second.issuedAt < cutoff; });
}

std::string TicketStore::issue(const Uuid& deviceID) {
  std::string ticket = base64URLEncode(randomBytes(32));
  std::lock_guard guard(lock_);
  pruneLocked();
  if (entries_.size() >= capacity) {
    const auto oldest = std::min_element(
        entries_.begin(), entries_.end(),
        [](const auto& a, const auto& b) { return a.second.issuedAt < b.second.issuedAt; });
    entries_.erase(oldest);
  }
  entries_.insert_or_assign(ticket, Entry{deviceID, now_()});
  return ticket;
}

std::optional<Uuid> TicketStore::consume(const std::optional<std::string>& ticket) {
  if (!ticket || ticket->empty()) return std::nullopt;
  std::lock_guard guard(lock_);
  pruneLocked();
  const auto found = entries_.find(*ticket);
  if (found == entries_.end()) return std::nullopt;
  const Entry entry = found->second;
  entries_.erase(found);
  if (now_() - entry.issuedAt > timeToLive) return std::nullopt;
  return entry.deviceID;
}

std::size_t TicketStore::liveCount() {
  std::lock_guard guard(lock_);
  return entries_.size();
}

}  // namespace tavelin
