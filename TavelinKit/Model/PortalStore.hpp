#pragma once

#include <filesystem>
#include <mutex>
#include <vector>

#include "TavelinKit/Model/Portal.hpp"

namespace tavelin {

// Reads and writes the portals file. Never fails towards its caller: an unreadable or corrupt
// file loads as no portals, and a failed save leaves the file as it was. Any thread; the lock
// is held for the whole of each load and save.
class PortalStore {
 public:
  explicit PortalStore(std::filesystem::path fileURL) : fileURL_(std::move(fileURL)) {}

  const std::filesystem::path& url() const { return fileURL_; }

  std::vector<Portal> load() const;
  // Whether the file now holds exactly `portals`.
  bool save(const std::vector<Portal>& portals) const;

 private:
  const std::filesystem::path fileURL_;
  mutable std::mutex lock_;
};

}  // namespace tavelin
