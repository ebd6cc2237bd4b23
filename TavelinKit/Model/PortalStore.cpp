#include "TavelinKit/Model/PortalStore.hpp"

#include "TavelinKit/Foundation/Files.hpp"

namespace tavelin {

std::vector<Portal> PortalStore::load() const {
  std::lock_guard guard(lock_);
  const auto contents = readWholeFile(fileURL_);
  if (!contents || contents->empty()) return {};
  auto portals = decodePortalList(*contents);
  return portals ? std::move(*portals) : std::vector<Portal>{};
}

bool PortalStore::save(const std::vector<Portal>& portals) const {
  std::lock_guard guard(lock_);
  const auto encoded = encodePortalList(portals);
  if (!encoded) return false;
  createPrivateDirectories(fileURL_.parent_path());
  // The file is replaced through portals.json.tmp in one rename, so a crash or a full disk
  // leaves either the old list or the new one, never a mix.
  return !writeFileAtomically(fileURL_, *encoded);
}

}  // namespace tavelin
