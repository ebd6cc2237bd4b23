#pragma once

#include <cstdint>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin {

// One display of the desktop: its id, where it lies in screen points, and its pixels per point.
struct DisplayInfo {
  std::uint32_t id = 0;
  ScreenRect bounds;
  double scale = 1;

  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

}  // namespace tavelin
