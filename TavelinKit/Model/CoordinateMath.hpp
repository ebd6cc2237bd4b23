#pragma once

#include <optional>

#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/PortalEnums.hpp"

namespace tavelin {

// A rectangle in a viewport (view units, origin top-left).
struct RenderRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double right() const { return x + width; }
  double bottom() const { return y + height; }
  // All four edges count as inside.
  bool contains(double px, double py) const {
    return px >= x && px <= x + width && py >= y && py <= y + height;
  }
  friend bool operator==(const RenderRect&, const RenderRect&) = default;
};

namespace CoordinateMath {

// The screen point under a normalised point of `bounds`, kept on the bounds' last whole point
// (a rectangle 800 wide at x 100 ends at 899). Nothing for empty bounds.
std::optional<ScreenPoint> mapNormalizedToScreen(const NormalizedPoint& point,
                                                 const ScreenRect& bounds);

// Which part of a window's current surface a window-region portal shows. With keepPixelSize
// the region keeps its pixel position and size, pushed back inside a surface that shrank;
// otherwise (and whenever that yields nothing) it keeps its fractions.
NormalizedRect resolveEffectiveRegion(const NormalizedRect& stored,
                                      const PixelRect& originalPixelRegion,
                                      const PixelSize& currentSurface,
                                      RegionResizeBehavior behavior);
// The same region in pixels of that surface: what a window-region portal's picture shows and
// where its touches land.
PixelRect effectiveCropRect(const NormalizedRect& stored, const PixelRect& originalPixelRegion,
                            const PixelSize& currentSurface, RegionResizeBehavior behavior);

}  // namespace CoordinateMath

// A picture scaled to fit a viewport, centred with bars on two sides.
namespace LetterboxMath {

RenderRect containRect(const PixelSize& source, double viewportWidth, double viewportHeight);

// The normalised point of the picture under a touch; nothing in the bars or when nothing fits.
std::optional<NormalizedPoint> mapViewportToNormalized(const PixelSize& source,
                                                       double viewportWidth, double viewportHeight,
                                                       double touchX, double touchY);

}  // namespace LetterboxMath

}  // namespace tavelin
