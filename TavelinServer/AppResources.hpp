#pragma once

#include <filesystem>

// Where the phone's web client lives: the server's web root.
namespace tavelin::AppResources {

// First match wins: an installed layout (<prefix>/share/tavelin/client beside <prefix>/bin);
// then the executable's directory and up to five above it, for a "client" folder holding
// index.html (a build tree); else "client" in the working directory.
std::filesystem::path clientDirectory(const std::filesystem::path& executable,
                                      const std::filesystem::path& workingDirectory);
// For this process.
std::filesystem::path clientDirectory();

}  // namespace tavelin::AppResources
