#include "TavelinKit/Pairing/PendingPairingStore.hpp"

#include <algorithm>

namespace tavelin {

PendingPairingStore::PendingPairingStore(std::shared_ptr<PairingService> pairing, Clock now)
    : pairing_(std::move(pairing)), now_(std::move(now)) {}

void PendingPairingStore::pruneLocked(Date now) {
  const Date cutoff = now - timeToLive;
  std::erase_if(entries_,
                [&](const auto& item) { return !(item.second.request.createdAt > cutoff); });
}

Uuid PendingPairingStore::create(const std::string& deviceName) {
  const PendingPairing request{Uuid::random(), PairingService::sanitize(deviceName), now_()};
  {
    std::lock_guard guard(lock_);
    pruneLocked(now_());
    std::size_t waitingCount = 0;
    auto oldest = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->second.resolution != Resolution::waiting) continue;
      ++waitingCount;
      if (oldest == entries_.end() ||
          it->second.request.createdAt < oldest->second.request.createdAt) {
        oldest = it;
      }
    }
    if (waitingCount >= maxWaiting) entries_.erase(oldest);
    entries_.emplace(request.id, Entry{request, Resolution::waiting, {}});
  }
  if (onChange) onChange();
  return request.id;
}

PendingPairingStore::Decision PendingPairingStore::approve(const Uuid& id) {
  std::string deviceName;
  {
    std::lock_guard guard(lock_);
    const auto found = entries_.find(id);
    if (found == entries_.end()) return Decision::unknown;
    if (found->second.resolution != Resolution::waiting) return Decision::alreadyMade;
    found->second.resolution = Resolution::approving;
    deviceName = found->second.request.deviceName;
  }
  const IssuedToken issued = pairing_->issueToken(deviceName);
  {
    std::lock_guard guard(lock_);
    const auto found = entries_.find(id);
    if (found != entries_.end()) {
      found->second.resolution = Resolution::approved;
      found->second.approval = {issued.token, issued.device.id.string(), issued.device.name};
    }
  }
  if (onChange) onChange();
  return Decision::made;
}

PendingPairingStore::Decision PendingPairingStore::deny(const Uuid& id) {
  Decision decision = Decision::unknown;
  {
    std::lock_guard guard(lock_);
    const auto found = entries_.find(id);
    if (found != entries_.end()) {
      decision =
          found->second.resolution == Resolution::waiting ? Decision::made : Decision::alreadyMade;
      if (decision == Decision::made) found->second.resolution = Resolution::denied;
    }
  }
  if (decision != Decision::alreadyMade && onChange) onChange();
  return decision;
}

PairStatus PendingPairingStore::status(const Uuid& id) {
  std::lock_guard guard(lock_);
  pruneLocked(now_());
  const auto found = entries_.find(id);
  if (found == entries_.end()) return {};
  switch (found->second.resolution) {
    case Resolution::waiting:
    case Resolution::approving: return {PairStatus::Kind::pending, {}};
    case Resolution::denied: return {PairStatus::Kind::denied, {}};
    case Resolution::approved: return {PairStatus::Kind::approved, found->second.approval};
  }
  return {};
}

std::vector<PendingPairing> PendingPairingStore::waiting() {
  std::vector<PendingPairing> requests;
  {
    std::lock_guard guard(lock_);
    pruneLocked(now_());
    for (const auto& [id, entry] : entries_) {
      if (entry.resolution == Resolution::waiting) requests.push_back(entry.request);
    }
  }
  std::stable_sort(requests.begin(), requests.end(),
                   [](const auto& a, const auto& b) { return a.createdAt < b.createdAt; });
  return requests;
}

}  // namespace tavelin
