#include "TavelinKit/Model/AppPaths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "TavelinKit/Foundation/Files.hpp"

namespace tavelin::AppPaths {

namespace {

std::filesystem::path homeDirectory() {
  // The host never writes its environment, so reading it from any thread is safe.
  if (const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
      home != nullptr && home[0] == '/') {
    return home;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return std::filesystem::current_path();
}

}  // namespace

std::filesystem::path root() {
  // A relative XDG_DATA_HOME is invalid and must be ignored.
  if (const char* data = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
      data != nullptr && data[0] == '/') {
    return std::filesystem::path(data) / "Tavelin";
  }
  return homeDirectory() / ".local" / "share" / "Tavelin";
}

std::filesystem::path portalsFile() { return root() / DataFiles::portals; }
std::filesystem::path devicesFile() { return root() / DataFiles::devices; }
std::filesystem::path settingsFile() { return root() / DataFiles::settings; }
std::filesystem::path deviceHistoryFile() { return root() / DataFiles::deviceHistory; }
std::filesystem::path logDirectory() { return root() / DataFiles::logs; }

void ensureCreated() {
  createPrivateDirectories(root());
  createPrivateDirectories(logDirectory());
}

}  // namespace tavelin::AppPaths
