#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tavelin {

// The desktop platforms the host can run on.
enum class Platform { x11 };

// Which platform this session offers, read from its environment, and what the log says of it.
struct PlatformChoice {
  std::optional<Platform> platform;  // nothing: no desktop the host can share
  std::string display;               // for X11: the display to open
  std::string description;           // the chosen platform and what it cannot do, or why none
};

// A variable of the environment; nothing when it is unset or empty.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

PlatformChoice choosePlatform(const EnvironmentLookup& environment);
// The process's own environment.
EnvironmentLookup processEnvironment();

}  // namespace tavelin
