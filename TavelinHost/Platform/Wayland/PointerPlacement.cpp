#include "TavelinHost/Platform/Wayland/PointerPlacement.hpp"

#include <algorithm>

namespace tavelin::wayland {

std::optional<PointerTarget> placePointer(const std::vector<PointerMonitor>& streams,
                                          const std::vector<PointerMonitor>& layout,
                                          const ScreenPoint& at) {
  if (streams.empty()) return std::nullopt;
  const auto& monitors = layout.empty() ? streams : layout;
  const PointerMonitor* best = nullptr;
  double bestDistance = 0;
  for (const auto& monitor : monitors) {
    const auto& b = monitor.bounds;
    const double dx = std::max({b.x - at.x, 0.0, at.x - (b.x + b.width)});
    const double dy = std::max({b.y - at.y, 0.0, at.y - (b.y + b.height)});
    const double distance = dx * dx + dy * dy;
    if (!best || distance < bestDistance) {
      best = &monitor;
      bestDistance = distance;
    }
  }
  const auto& b = best->bounds;
  const double x = b.x + std::clamp(at.x - b.x, 0.0, std::max(0.0, b.width - 1));
  const double y = b.y + std::clamp(at.y - b.y, 0.0, std::max(0.0, b.height - 1));
  std::size_t stream = 0;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (streams[i].connector == best->connector) stream = i;
  }
  const auto& through = streams[stream];
  return PointerTarget{stream, (x - through.bounds.x) * through.scale,
                       (y - through.bounds.y) * through.scale};
}

}  // namespace tavelin::wayland
