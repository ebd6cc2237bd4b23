#pragma once

#include <filesystem>
#include <mutex>
#include <vector>

#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Model/Portal.hpp"

namespace tavelin {

// Reads and writes the portals file. Never fails towards its caller: an unreadable or corrupt
// file loads as no portals (and is kept aside), and a failed save leaves the file as it was
// until the folder's retries write the list. Any thread; the lock is held for the whole of each
// load and save.
class PortalStore {
 public:
  explicit PortalStore(StoredFile file) : file_(std::move(file)) {}

  std::filesystem::path url() const { return file_.path(); }

  std::vector<Portal> load() const;
  // Whether the file now holds exactly `portals`.
  bool save(const std::vector<Portal>& portals) const;

 private:
  const StoredFile file_;
  mutable std::mutex lock_;
};

}  // namespace tavelin
