#pragma once

#include <filesystem>

namespace tavelin::DataFiles {

// The names of the host's files in its data folder.
inline constexpr const char* portals = "portals.json";
inline constexpr const char* devices = "devices.json";
inline constexpr const char* deviceHistory = "device-history.json";
inline constexpr const char* settings = "settings.json";
// The desktop portal's restore token, which lets the next run share without asking again.
inline constexpr const char* desktopPortal = "desktop-portal.json";
inline constexpr const char* logs = "logs";  // a folder

}  // namespace tavelin::DataFiles

// Where the host keeps its files: one folder, $XDG_DATA_HOME/Tavelin or else
// ~/.local/share/Tavelin. Read from the environment on every call.
namespace tavelin::AppPaths {

std::filesystem::path root();
std::filesystem::path portalsFile();
std::filesystem::path devicesFile();
std::filesystem::path settingsFile();
std::filesystem::path deviceHistoryFile();
std::filesystem::path logDirectory();

// Creates the root and the log directory (mode 0700); failures are ignored here and show up
// as failed writes later.
void ensureCreated();

}  // namespace tavelin::AppPaths
