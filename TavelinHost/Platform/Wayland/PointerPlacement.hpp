#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin::wayland {

// Where a pointer motion goes on a remote desktop session that places the pointer on its
// screen-cast streams (Mutter's, the portal's): which stream it names and the point in that
// stream's pixels.
struct PointerMonitor {
  std::string connector;
  ScreenRect bounds;  // global points
  double scale = 1;
};
struct PointerTarget {
  std::size_t stream = 0;
  double x = 0;
  double y = 0;
};
// `streams` are the monitors with a stream of their own in the session, in stream order;
// `layout` is every monitor there is now (the streams' own when empty). A point on no monitor
// goes to the nearest one's edge. A monitor without a stream is reached through the first
// stream: Mutter places the pointer at the stream's origin plus the point, beyond its edges too.
// Nothing without streams.
std::optional<PointerTarget> placePointer(const std::vector<PointerMonitor>& streams,
                                          const std::vector<PointerMonitor>& layout,
                                          const ScreenPoint& at);

}  // namespace tavelin::wayland
