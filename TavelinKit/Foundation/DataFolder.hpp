#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "TavelinKit/Foundation/Clock.hpp"

namespace tavelin {

// The folder the host keeps its files in, and the one way they are read and written. Nothing
// stored is lost to a fault: a file that exists but cannot be read or decoded is moved aside
// under a dated name before anything could overwrite it, and a save that fails is reported once,
// kept, and written again by `retryUnsaved` until it succeeds (the newest bytes of each file
// win). Any thread; one lock, held while a file is written, so writes of one file never race.
class DataFolder {
 public:
  // Writes a whole file; the real one writes atomically. Tests put one that fails on demand.
  using Writer = std::function<std::error_code(const std::filesystem::path&, std::string_view)>;

  explicit DataFolder(std::filesystem::path root, Writer writer = {}, Clock clock = systemClock());

  const std::filesystem::path& root() const { return root_; }

  // The file's bytes when `decodes` accepts them; nothing when it is missing or empty, and
  // nothing when it cannot be read or decoded, in which case it is set aside.
  std::optional<std::string> load(std::string_view name,
                                  const std::function<bool(std::string_view)>& decodes);
  // Whether the bytes are on disk now; when not, they wait for `retryUnsaved`.
  bool save(std::string_view name, std::string bytes);
  // Writes what could not be written before; true when nothing is left waiting.
  bool retryUnsaved();
  // The names of the files whose last save has not reached the disk yet.
  std::vector<std::string> unsavedFiles() const;

  // Set before use. Both may run on any thread while the caller of load or save holds a lock of
  // its own: they must only hand the news on (log it, post it), never call back in.
  std::function<void(const std::string&)> onLog;
  std::function<void()> onUnsavedChange;

 private:
  void setAside(const std::filesystem::path& file, const std::string& why);
  // Under lock_; the error of the write, and whether the set of unsaved files changed.
  std::error_code writeLocked(const std::string& name, const std::string& bytes, bool& changed);
  void report(const std::vector<std::string>& lines, bool unsavedChanged);

  const std::filesystem::path root_;
  const Writer writer_;
  const Clock clock_;
  mutable std::mutex lock_;
  std::map<std::string, std::string> unsaved_;  // name → newest bytes; guarded by lock_
};

// One file of a data folder: what a store holds to load and save its file.
class StoredFile {
 public:
  StoredFile(std::shared_ptr<DataFolder> folder, std::string name)
      : folder_(std::move(folder)), name_(std::move(name)) {}
  // A file in a folder of its own, for tools and tests that need no more.
  StoredFile(const std::filesystem::path& path)  // NOLINT(google-explicit-constructor)
      : StoredFile(std::make_shared<DataFolder>(path.parent_path()), path.filename().string()) {}

  std::filesystem::path path() const { return folder_->root() / name_; }
  std::optional<std::string> load(const std::function<bool(std::string_view)>& decodes) const {
    return folder_->load(name_, decodes);
  }
  bool save(std::string bytes) const { return folder_->save(name_, std::move(bytes)); }

 private:
  std::shared_ptr<DataFolder> folder_;
  std::string name_;
};

}  // namespace tavelin
