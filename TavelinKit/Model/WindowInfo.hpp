#pragma once

#include <cstdint>
#include <string>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin {

// One live window as the host describes it.
struct WindowInfo {
  std::uint32_t id = 0;
  std::string title;
  std::string applicationName;
  std::string bundleIdentifier;  // empty when unknown
  std::int32_t processID = 0;
  ScreenRect frame;
  bool isOnScreen = false;

  friend bool operator==(const WindowInfo&, const WindowInfo&) = default;
};

}  // namespace tavelin
