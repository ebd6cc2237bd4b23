#include "TavelinKit/Model/PortalCoordinateMapper.hpp"

#include <algorithm>

#include "TavelinKit/Model/CoordinateMath.hpp"

namespace tavelin {

namespace {

std::optional<WindowGeometry> validGeometry(const WindowGeometryProviding& provider) {
  auto geometry = provider.currentGeometry();
  if (!geometry || !geometry->isValid()) return std::nullopt;
  return geometry;
}

// A normalised point in whole pixels of the surface, kept on the surface.
ScreenPoint toSurfacePixel(const NormalizedPoint& point, const PixelSize& surface) {
  const auto x = std::clamp<std::int64_t>(
      roundToInteger(point.x * static_cast<double>(surface.width)), 0, surface.width - 1);
  const auto y = std::clamp<std::int64_t>(
      roundToInteger(point.y * static_cast<double>(surface.height)), 0, surface.height - 1);
  return {static_cast<double>(x), static_cast<double>(y)};
}

}  // namespace

StaticWindowGeometryProvider::StaticWindowGeometryProvider(const ScreenRect& bounds, double scale)
    : geometry_{bounds,
                {roundToInteger(bounds.width * scale), roundToInteger(bounds.height * scale)}},
      available_(true) {}

std::optional<WindowGeometry> StaticWindowGeometryProvider::currentGeometry() const {
  if (!available_ || !geometry_.isValid()) return std::nullopt;
  return geometry_;
}

std::optional<ScreenPoint> ScreenRegionCoordinateMapper::mapToScreen(
    const NormalizedPoint& point) const {
  if (!point.isInsideUnitSquare()) return std::nullopt;
  return CoordinateMath::mapNormalizedToScreen(point, region_);
}

std::optional<ScreenPoint> WindowCoordinateMapper::mapToScreen(const NormalizedPoint& point) const {
  if (!point.isInsideUnitSquare()) return std::nullopt;
  const auto geometry = validGeometry(*geometryProvider_);
  if (!geometry) return std::nullopt;
  return CoordinateMath::mapNormalizedToScreen(point, geometry->captureBounds);
}

std::optional<ScreenPoint> WindowCoordinateMapper::mapToWindowLocal(
    const NormalizedPoint& point) const {
  if (!point.isInsideUnitSquare()) return std::nullopt;
  const auto geometry = validGeometry(*geometryProvider_);
  if (!geometry) return std::nullopt;
  return toSurfacePixel(point, geometry->surfaceSize);
}

std::optional<WindowRegionCoordinateMapper::WindowPoint> WindowRegionCoordinateMapper::windowPoint(
    const NormalizedPoint& point) const {
  if (!point.isInsideUnitSquare()) return std::nullopt;
  const auto geometry = validGeometry(*geometryProvider_);
  if (!geometry) return std::nullopt;
  const NormalizedRect e = CoordinateMath::resolveEffectiveRegion(
      storedRegion_, originalPixelRegion_, geometry->surfaceSize, resizeBehavior_);
  return WindowPoint{{e.x + e.width * point.x, e.y + e.height * point.y}, *geometry};
}

std::optional<ScreenPoint> WindowRegionCoordinateMapper::mapToScreen(
    const NormalizedPoint& point) const {
  const auto w = windowPoint(point);
  if (!w) return std::nullopt;
  return CoordinateMath::mapNormalizedToScreen(w->point, w->geometry.captureBounds);
}

std::optional<ScreenPoint> WindowRegionCoordinateMapper::mapToWindowLocal(
    const NormalizedPoint& point) const {
  const auto w = windowPoint(point);
  if (!w) return std::nullopt;
  return toSurfacePixel(w->point, w->geometry.surfaceSize);
}

PixelRect WindowRegionCoordinateMapper::resolveCropRect(const PixelSize& surfaceSize) const {
  return CoordinateMath::effectiveCropRect(storedRegion_, originalPixelRegion_, surfaceSize,
                                           resizeBehavior_);
}

}  // namespace tavelin
