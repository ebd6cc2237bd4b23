#include "TavelinHost/Main/PlatformChoice.hpp"

#include <cstdlib>

namespace tavelin {

PlatformChoice choosePlatform(const EnvironmentLookup& environment) {
  const auto display = environment("DISPLAY");
  const bool wayland =
      environment("WAYLAND_DISPLAY") || environment("XDG_SESSION_TYPE") == "wayland";
  if (display) {
    std::string description = "X11 on display " + *display;
    // XWayland shows the host only the X11 applications of the session: say so, every time.
    if (wayland) {
      description +=
          " (XWayland in a Wayland session: only X11 applications can be shared "
          "and controlled)";
    }
    return {Platform::x11, *display, description};
  }
  return {std::nullopt,
          {},
          wayland ? "this Wayland session has no X display (XWayland), and Tavelin shares X11 "
                    "desktops only"
                  : "no X display to share (set DISPLAY, or run `make run`, which starts a "
                    "private one)"};
}

EnvironmentLookup processEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  };
}

}  // namespace tavelin
