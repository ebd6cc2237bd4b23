#include "TavelinKit/Foundation/DataFolder.hpp"

#include <ctime>

#include "TavelinKit/Foundation/Files.hpp"

namespace tavelin {

namespace {

// "20261207T052331Z": sorts by time and is a valid file name everywhere.
std::string compactDate(Clock::result_type date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

DataFolder::DataFolder(std::filesystem::path root, Writer writer, Clock clock)
    : root_(std::move(root)),
      writer_(writer ? std::move(writer) : Writer(writeFileAtomically)),
      clock_(std::move(clock)) {}

std::optional<std::string> DataFolder::load(std::string_view name,
                                            const std::function<bool(std::string_view)>& decodes) {
  const auto file = root_ / name;
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(file, error))) return std::nullopt;
  const auto contents = readWholeFile(file);
  if (!contents) {
    setAside(file, "could not be read");
    return std::nullopt;
  }
  if (contents->empty()) return std::nullopt;
  if (!decodes(*contents)) {
    setAside(file, "could not be decoded");
    return std::nullopt;
  }
  return contents;
}

void DataFolder::setAside(const std::filesystem::path& file, const std::string& why) {
  const std::string stamp = compactDate(clock_());
  std::filesystem::path kept = file;
  kept += ".damaged-" + stamp;
  // A second damaged file within the same second must not replace the first one kept.
  for (int n = 2; std::filesystem::exists(kept); ++n) {
    kept = file;
    kept += ".damaged-" + stamp + "-" + std::to_string(n);
  }
  std::error_code error;
  std::filesystem::rename(file, kept, error);
  const std::string name = file.filename().string();
  report({error ? name + " " + why + " and could not be kept aside (" + error.message() +
                      "); starting without it"
                : name + " " + why + "; kept it as " + kept.filename().string() +
                      " and started without it"},
         false);
}

std::error_code DataFolder::writeLocked(const std::string& name, const std::string& bytes,
                                        bool& changed) {
  createPrivateDirectories(root_);
  const std::error_code error = writer_(root_ / name, bytes);
  if (error) {
    changed = unsaved_.insert_or_assign(name, bytes).second;
  } else {
    changed = unsaved_.erase(name) > 0;
  }
  return error;
}

bool DataFolder::save(std::string_view name, std::string bytes) {
  const std::string file(name);
  bool changed = false;
  std::error_code error;
  {
    std::lock_guard guard(lock_);
    error = writeLocked(file, bytes, changed);
  }
  if (changed) {
    report({error ? "Could not save " + file + " (" + error.message() +
                        "); keeping the change and trying again every second"
                  : "Saved " + file + " again"},
           true);
  }
  return !error;
}

bool DataFolder::retryUnsaved() {
  std::vector<std::string> lines;
  bool anyChanged = false;
  bool left = false;
  {
    std::lock_guard guard(lock_);
    if (unsaved_.empty()) return true;
    const auto waiting = unsaved_;  // writing updates the map
    for (const auto& [name, bytes] : waiting) {
      bool changed = false;
      if (!writeLocked(name, bytes, changed)) lines.push_back("Saved " + name + " again");
      anyChanged = anyChanged || changed;
    }
    left = !unsaved_.empty();
  }
  if (anyChanged) report(lines, true);
  return !left;
}

std::vector<std::string> DataFolder::unsavedFiles() const {
  std::lock_guard guard(lock_);
  std::vector<std::string> names;
  for (const auto& entry : unsaved_) names.push_back(entry.first);
  return names;
}

void DataFolder::report(const std::vector<std::string>& lines, bool unsavedChanged) {
  if (onLog) {
    for (const auto& line : lines) onLog(line);
  }
  if (unsavedChanged && onUnsavedChange) onUnsavedChange();
}

}  // namespace tavelin
