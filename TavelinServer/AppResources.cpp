#include "TavelinServer/AppResources.hpp"

#include <system_error>

namespace tavelin::AppResources {

namespace {

constexpr int levelsToSearch = 6;

bool holdsClient(const std::filesystem::path& directory) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(directory / "index.html", ignored);
}

}  // namespace

std::filesystem::path clientDirectory(const std::filesystem::path& executable,
                                      const std::filesystem::path& workingDirectory) {
  const auto binDirectory = executable.parent_path();
  const auto installed = (binDirectory / ".." / "share" / "tavelin" / "client").lexically_normal();
  if (holdsClient(installed)) return installed;
  auto directory = binDirectory;
  for (int level = 0; level < levelsToSearch && !directory.empty(); ++level) {
    if (holdsClient(directory / "client")) return directory / "client";
    if (directory == directory.parent_path()) break;
    directory = directory.parent_path();
  }
  return workingDirectory / "client";
}

std::filesystem::path clientDirectory() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  const auto working = std::filesystem::current_path(error);
  return clientDirectory(executable, working);
}

}  // namespace tavelin::AppResources
