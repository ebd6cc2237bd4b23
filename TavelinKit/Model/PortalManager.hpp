#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/PortalStore.hpp"

namespace tavelin {

// The host's catalogue of portals, in insertion order, with one optional active portal. The
// list is saved whole after every change; the active portal is not saved and starts absent.
// Any thread. Lock order: manager, then store. Callbacks run on the calling thread after the
// lock is released, onChange before onActiveChange.
class PortalManager {
 public:
  explicit PortalManager(std::shared_ptr<PortalStore> store);

  std::vector<Portal> portals() const;
  std::optional<Portal> activePortal() const;
  std::optional<Portal> find(const Uuid& id) const;

  void add(const Portal& portal);
  // Replaces the portal with the same id in place, or appends it.
  void update(const Portal& portal);
  void remove(const Uuid& id);
  // Sets or clears the active portal; an id that is not in the catalogue changes nothing.
  void activate(const std::optional<Uuid>& id);

  std::function<void()> onChange;
  std::function<void(const std::optional<Portal>&)> onActiveChange;

 private:
  std::optional<Portal> findLocked(const Uuid& id) const;

  const std::shared_ptr<PortalStore> store_;
  mutable std::mutex lock_;
  std::vector<Portal> storage_;
  std::optional<Uuid> activeID_;
};

}  // namespace tavelin
