#include "TavelinKit/Model/CoordinateMath.hpp"

#include <algorithm>

namespace tavelin {

std::optional<ScreenPoint> CoordinateMath::mapNormalizedToScreen(const NormalizedPoint& point,
                                                                 const ScreenRect& bounds) {
  if (std::min(bounds.width, bounds.height) <= 0) return std::nullopt;
  const NormalizedPoint c = point.clamped();
  double sx = static_cast<double>(roundToInteger(bounds.x + c.x * bounds.width));
  double sy = static_cast<double>(roundToInteger(bounds.y + c.y * bounds.height));
  sx = std::min(std::max(sx, bounds.x), std::max(bounds.x + bounds.width - 1, bounds.x));
  sy = std::min(std::max(sy, bounds.y), std::max(bounds.y + bounds.height - 1, bounds.y));
  return ScreenPoint{sx, sy};
}

PixelRect CoordinateMath::effectiveCropRect(const NormalizedRect& stored,
                                            const PixelRect& originalPixelRegion,
                                            const PixelSize& currentSurface,
                                            RegionResizeBehavior behavior) {
  return resolveEffectiveRegion(stored, originalPixelRegion, currentSurface, behavior)
      .toPixel(currentSurface);
}

NormalizedRect CoordinateMath::resolveEffectiveRegion(const NormalizedRect& stored,
                                                      const PixelRect& originalPixelRegion,
                                                      const PixelSize& currentSurface,
                                                      RegionResizeBehavior behavior) {
  if (currentSurface.isEmpty()) return stored.clamped();
  if (behavior == RegionResizeBehavior::keepPixelSize && !originalPixelRegion.isEmpty()) {
    const PixelRect surface{0, 0, currentSurface.width, currentSurface.height};
    const PixelRect kept = originalPixelRegion.clamped(surface);
    if (!kept.isEmpty()) return NormalizedRect::fromPixel(kept, currentSurface);
  }
  return stored.clamped();
}

RenderRect LetterboxMath::containRect(const PixelSize& source, double viewportWidth,
                                      double viewportHeight) {
  if (source.width < 1 || source.height < 1 || !(viewportWidth > 0) || !(viewportHeight > 0)) {
    return {};
  }
  const auto sw = static_cast<double>(source.width);
  const auto sh = static_cast<double>(source.height);
  const double scale = std::min(viewportWidth / sw, viewportHeight / sh);
  const double width = scale * sw;
  const double height = scale * sh;
  return {(viewportWidth - width) * 0.5, (viewportHeight - height) * 0.5, width, height};
}

std::optional<NormalizedPoint> LetterboxMath::mapViewportToNormalized(const PixelSize& source,
                                                                      double viewportWidth,
                                                                      double viewportHeight,
                                                                      double touchX,
                                                                      double touchY) {
  const RenderRect r = containRect(source, viewportWidth, viewportHeight);
  if (r.width <= 0 || r.height <= 0) return std::nullopt;
  if (!r.contains(touchX, touchY)) return std::nullopt;
  return NormalizedPoint{std::clamp((touchX - r.x) / r.width, 0.0, 1.0),
                         std::clamp((touchY - r.y) / r.height, 0.0, 1.0)};
}

}  // namespace tavelin
