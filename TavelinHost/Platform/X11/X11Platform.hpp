#pragma once

#include <optional>
#include <string>

#include "TavelinHost/Platform/PlatformServices.hpp"

namespace tavelin::x11 {

// The X11 adapters of every port, on the display `display` names (DISPLAY when empty); nothing,
// with the reason in `why`, when it cannot be opened. Virtual displays a host that did not end
// cleanly left behind are removed first.
std::optional<PlatformServices> openPlatform(const std::string& display, std::string& why);

}  // namespace tavelin::x11
