#pragma once

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Foundation/Files.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin::testing {

// A disk that fills up on demand: while `full`, every write fails with "No space left on device"
// and leaves the file as it was; otherwise it writes for real.
struct FlakyDisk {
  std::shared_ptr<std::atomic<bool>> full = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<int>> failures = std::make_shared<std::atomic<int>>(0);

  DataFolder::Writer writer() const {
    return [full = full, failures = failures](const std::filesystem::path& file,
                                              std::string_view bytes) {
      if (*full) {
        ++*failures;
        return std::make_error_code(std::errc::no_space_on_device);
      }
      return writeFileAtomically(file, bytes);
    };
  }
};

// The contents of the copies of `name` that were kept aside in `folder`, oldest first.
inline std::vector<std::string> keptAside(const std::filesystem::path& folder,
                                          const std::string& name) {
  std::vector<std::filesystem::path> kept;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    if (entry.path().filename().string().starts_with(name + ".damaged-")) {
      kept.push_back(entry.path());
    }
  }
  std::sort(kept.begin(), kept.end());
  std::vector<std::string> contents;
  for (const auto& path : kept) contents.push_back(readText(path));
  return contents;
}

}  // namespace tavelin::testing
