#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Platform/Wayland/WaylandPlatform.hpp"

namespace tavelin {

// The desktop platforms the host can run on.
enum class Platform { x11, wayland };

// Which platform this session offers, read from its environment and the command line, and what
// the log says of it.
struct PlatformChoice {
  std::optional<Platform> platform;         // nothing: no desktop the host can share
  std::string display;                      // for X11: the display to open
  std::optional<wayland::Backend> backend;  // for Wayland: the backend asked for, if any
  std::string description;  // the chosen platform and what it cannot do, or why none
};

// A variable of the environment; nothing when it is unset or empty.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// What the command line asks for: `--platform x11|wayland`, `--wayland-backend
// portal|mutter|wlroots` (which implies Wayland).
struct PlatformRequest {
  std::optional<Platform> platform;
  std::optional<wayland::Backend> backend;
};
// The request among the arguments (others are left alone); nothing, with what is wrong in
// `error`, for an unknown value or a missing one.
std::optional<PlatformRequest> platformRequest(const std::vector<std::string>& arguments,
                                               std::string& error);

PlatformChoice choosePlatform(const EnvironmentLookup& environment,
                              const PlatformRequest& request = {});
// The process's own environment.
EnvironmentLookup processEnvironment();

}  // namespace tavelin
