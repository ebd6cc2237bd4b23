#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "TavelinHost/Platform/WindowServer.hpp"
#include "tests/support/LoopbackClient.hpp"

namespace tavelin::testing {

// The on-screen window titled `title`, once the window manager shows it. A busy machine can
// take many seconds to show a program's first window (fonts, the manager's first map), so the
// limit is long; the wait ends as soon as it is listed.
inline std::optional<LiveWindow> waitForWindow(
    WindowServer& windows, const std::string& title,
    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  std::optional<LiveWindow> found;
  eventually(
      [&] {
        for (const auto& window : windows.onScreenWindows()) {
          if (window.name == title) found = window;
        }
        return found.has_value();
      },
      limit);
  return found;
}

}  // namespace tavelin::testing
