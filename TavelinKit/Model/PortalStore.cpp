#include "TavelinKit/Model/PortalStore.hpp"

namespace tavelin {

std::vector<Portal> PortalStore::load() const {
  std::lock_guard guard(lock_);
  std::vector<Portal> portals;
  file_.load([&](std::string_view text) {
    auto decoded = decodePortalList(text);
    if (decoded) portals = std::move(*decoded);
    return decoded.has_value();
  });
  return portals;
}

bool PortalStore::save(const std::vector<Portal>& portals) const {
  std::lock_guard guard(lock_);
  const auto encoded = encodePortalList(portals);
  // The file is replaced through portals.json.tmp in one rename, so a crash or a full disk
  // leaves either the old list or the new one, never a mix.
  return encoded && file_.save(*encoded);
}

}  // namespace tavelin
