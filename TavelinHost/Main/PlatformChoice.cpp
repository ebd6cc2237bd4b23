#include "TavelinHost/Main/PlatformChoice.hpp"

#include <cstdlib>

namespace tavelin {

std::optional<PlatformRequest> platformRequest(const std::vector<std::string>& arguments,
                                               std::string& error) {
  PlatformRequest request;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option != "--platform" && option != "--wayland-backend") continue;
    if (i + 1 >= arguments.size()) {
      error = option + " needs a value";
      return std::nullopt;
    }
    const std::string& value = arguments[++i];
    if (option == "--platform") {
      if (value == "x11") {
        request.platform = Platform::x11;
      } else if (value == "wayland") {
        request.platform = Platform::wayland;
      } else {
        error = "unknown platform " + value + " (x11 or wayland)";
        return std::nullopt;
      }
    } else if (const auto backend = wayland::backendNamed(value)) {
      request.backend = backend;
    } else {
      error = "unknown Wayland backend " + value + " (portal, mutter or wlroots)";
      return std::nullopt;
    }
  }
  if (request.backend && request.platform == Platform::x11) {
    error = "--wayland-backend goes with the Wayland platform, not X11";
    return std::nullopt;
  }
  return request;
}

PlatformChoice choosePlatform(const EnvironmentLookup& environment,
                              const PlatformRequest& request) {
  const auto display = environment("DISPLAY");
  const bool waylandSession =
      environment("WAYLAND_DISPLAY") || environment("XDG_SESSION_TYPE") == "wayland";
  Platform platform = request.platform.value_or(
      request.backend || waylandSession ? Platform::wayland : Platform::x11);
  switch (platform) {
    case Platform::wayland: return {Platform::wayland, {}, request.backend, "Wayland"};
    case Platform::x11: break;
  }
  if (!display) {
    return {std::nullopt,
            {},
            {},
            request.platform ? "no X display to share (DISPLAY is not set)"
                             : "no desktop to share: neither a Wayland session nor an X display "
                               "(set DISPLAY, or run `make run`, which starts a private one)"};
  }
  std::string description = "X11 on display " + *display;
  // Asked for in a Wayland session: XWayland shows the host only the session's X11 applications.
  if (waylandSession) {
    description +=
        " (XWayland in a Wayland session: only X11 applications can be shared and controlled)";
  }
  return {Platform::x11, *display, {}, description};
}

EnvironmentLookup processEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  };
}

}  // namespace tavelin
