#include "TavelinHost/App/OpenAtLogin.hpp"

#include <cstdlib>
#include <sstream>
#include <system_error>

#include "TavelinKit/Foundation/Files.hpp"

namespace tavelin {

namespace {

// An Exec argument: quoted when it holds anything the entry format treats specially.
std::string execArgument(const std::string& path) {
  if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`%") == std::string::npos) return path;
  std::string quoted = "\"";
  for (const char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    // Inside quotes: ", `, $ and \ take a backslash, and a percent is written twice; the whole
    // value then has its backslashes doubled by the entry format's string escaping (below).
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  std::string escaped;
  for (const char c : quoted) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

OpenAtLogin::OpenAtLogin(std::filesystem::path folder, std::filesystem::path executable)
    : folder_(std::move(folder)), executable_(std::move(executable)) {}

std::filesystem::path OpenAtLogin::userFolder() {
  // The host never writes its environment, so reading it from any thread is safe.
  if (const char* config = std::getenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe)
      config != nullptr && config[0] == '/') {
    return std::filesystem::path(config) / "autostart";
  }
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  return std::filesystem::path(home != nullptr ? home : "") / ".config" / "autostart";
}

std::string OpenAtLogin::entry() const {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Tavelin\n"
         "Comment=Share a window or part of the screen with your phone\n"
         "Exec=" +
         execArgument(executable_.string()) +
         "\n"
         "Icon=tavelin\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool OpenAtLogin::isOn() const {
  const auto text = readWholeFile(entryPath(), 64 * 1024);
  if (!text) return false;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
  }
  return true;
}

bool OpenAtLogin::set(bool on, std::string& why) const {
  std::error_code error;
  if (!on) {
    std::filesystem::remove(entryPath(), error);
    if (error) why = "could not remove " + entryPath().string() + ": " + error.message();
    return !error;
  }
  std::filesystem::create_directories(folder_, error);
  if (!error) error = writeFileAtomically(entryPath(), entry());
  if (error) why = "could not write " + entryPath().string() + ": " + error.message();
  return !error;
}

}  // namespace tavelin
