#include "TavelinKit/Model/PortalView.hpp"

#include <algorithm>
#include <cmath>

namespace tavelin {

std::optional<PortalView> PortalView::make(double x, double y, double width, double height,
                                           double pixelWidth, double pixelHeight) {
  for (const double number : {x, y, width, height, pixelWidth, pixelHeight}) {
    if (!std::isfinite(number)) return std::nullopt;
  }
  const double left = std::clamp(x, 0.0, 1.0);
  const double top = std::clamp(y, 0.0, 1.0);
  const double right = std::clamp(x + width, 0.0, 1.0);
  const double bottom = std::clamp(y + height, 0.0, 1.0);
  if (!(right > left) || !(bottom > top)) return std::nullopt;
  const double wide = std::round(pixelWidth);
  const double high = std::round(pixelHeight);
  if (wide < 1 || high < 1) return std::nullopt;
  const auto cap = static_cast<double>(maxPixels);
  return PortalView{{left, top, right - left, bottom - top},
                    {static_cast<std::int64_t>(std::min(wide, cap)),
                     static_cast<std::int64_t>(std::min(high, cap))}};
}

std::optional<ViewCut> cutView(const PixelRect& crop, const PortalView& view) {
  if (crop.isEmpty()) return std::nullopt;
  const auto across = static_cast<double>(crop.width);
  const auto down = static_cast<double>(crop.height);
  // Whole pixels that cover the area; the phone learns exactly which.
  auto edge = [](double fraction, double length, bool up) {
    const double at = fraction * length;
    return static_cast<std::int64_t>(up ? std::ceil(at) : std::floor(at));
  };
  std::int64_t left = std::clamp<std::int64_t>(edge(view.area.x, across, false), 0, crop.width - 1);
  std::int64_t top = std::clamp<std::int64_t>(edge(view.area.y, down, false), 0, crop.height - 1);
  const std::int64_t right =
      std::clamp<std::int64_t>(edge(view.area.right(), across, true), left + 1, crop.width);
  const std::int64_t bottom =
      std::clamp<std::int64_t>(edge(view.area.bottom(), down, true), top + 1, crop.height);
  const PixelRect part{crop.x + left, crop.y + top, right - left, bottom - top};
  // One scale for both sides, so the picture keeps its shape; never up.
  const double scale =
      std::min({1.0, static_cast<double>(view.pixels.width) / static_cast<double>(part.width),
                static_cast<double>(view.pixels.height) / static_cast<double>(part.height)});
  const PixelSize output{
      std::max<std::int64_t>(1, std::llround(scale * static_cast<double>(part.width))),
      std::max<std::int64_t>(1, std::llround(scale * static_cast<double>(part.height)))};
  return ViewCut{
      part,
      output,
      {static_cast<double>(left) / across, static_cast<double>(top) / down,
       static_cast<double>(part.width) / across, static_cast<double>(part.height) / down}};
}

}  // namespace tavelin
