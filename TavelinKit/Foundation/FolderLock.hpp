#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tavelin {

// Keeps every other host out of a data folder for as long as it lives, so that two hosts never
// write over each other's files: an advisory lock on a file in the folder, which the system lets
// go when the process ends, however it ends. Move-only.
class FolderLock {
 public:
  // The lock, or nothing with `why` saying what stands in the way (another host, by process
  // id when it is known, or a folder that cannot be written).
  static std::optional<FolderLock> acquire(const std::filesystem::path& folder, std::string& why);

  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();

 private:
  explicit FolderLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace tavelin
