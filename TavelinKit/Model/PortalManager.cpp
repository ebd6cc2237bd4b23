#include "TavelinKit/Model/PortalManager.hpp"

#include <algorithm>

namespace tavelin {

PortalManager::PortalManager(std::shared_ptr<PortalStore> store)
    : store_(std::move(store)), storage_(store_->load()) {}

std::vector<Portal> PortalManager::portals() const {
  std::lock_guard guard(lock_);
  return storage_;
}

std::optional<Portal> PortalManager::activePortal() const {
  std::lock_guard guard(lock_);
  return activeID_ ? findLocked(*activeID_) : std::nullopt;
}

std::optional<Portal> PortalManager::find(const Uuid& id) const {
  std::lock_guard guard(lock_);
  return findLocked(id);
}

std::optional<Portal> PortalManager::findLocked(const Uuid& id) const {
  const auto found = std::find_if(storage_.begin(), storage_.end(),
                                  [&](const Portal& portal) { return portal.id == id; });
  if (found == storage_.end()) return std::nullopt;
  return *found;
}

void PortalManager::add(const Portal& portal) {
  {
    std::lock_guard guard(lock_);
    storage_.push_back(portal);
    store_->save(storage_);
  }
  if (onChange) onChange();
}

void PortalManager::update(const Portal& portal) {
  bool isActive = false;
  {
    std::lock_guard guard(lock_);
    const auto found = std::find_if(storage_.begin(), storage_.end(),
                                    [&](const Portal& p) { return p.id == portal.id; });
    if (found != storage_.end()) {
      *found = portal;
    } else {
      storage_.push_back(portal);
    }
    store_->save(storage_);
    isActive = activeID_ == portal.id;
  }
  if (onChange) onChange();
  if (isActive && onActiveChange) onActiveChange(portal);
}

void PortalManager::remove(const Uuid& id) {
  bool removedActive = false;
  {
    std::lock_guard guard(lock_);
    std::erase_if(storage_, [&](const Portal& portal) { return portal.id == id; });
    if (activeID_ == id) {
      activeID_.reset();
      removedActive = true;
    }
    store_->save(storage_);
  }
  if (onChange) onChange();
  if (removedActive && onActiveChange) onActiveChange(std::nullopt);
}

void PortalManager::activate(const std::optional<Uuid>& id) {
  std::optional<Portal> portal;
  {
    std::lock_guard guard(lock_);
    if (id) {
      portal = findLocked(*id);
      if (!portal) return;
    }
    activeID_ = id;
  }
  if (onActiveChange) onActiveChange(portal);
}

}  // namespace tavelin
