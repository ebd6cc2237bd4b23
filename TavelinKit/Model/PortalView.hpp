#pragma once

#include <cstdint>
#include <optional>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin {

// The part of a portal a zoomed-in phone shows, and how many device pixels it shows it on. A
// phone with none shows the whole portal. Pictures of a view are cropped before they are
// scaled, so small text stays sharp; positions in input stay fractions of the whole portal.
struct PortalView {
  // The most pixels a side a phone may ask for: a bound on the work one phone can ask of the
  // host, above any phone's screen.
  static constexpr std::int64_t maxPixels = 4096;

  NormalizedRect area;  // inside the unit square, never empty
  PixelSize pixels;     // each side 1…maxPixels

  // A view from a phone's numbers: the area is forced into the unit square and the pixels are
  // rounded and capped. Nothing when a number is not finite, the area has no size inside the
  // portal or the pixels are fewer than one a side.
  static std::optional<PortalView> make(double x, double y, double width, double height,
                                        double pixelWidth, double pixelHeight);

  friend bool operator==(const PortalView&, const PortalView&) = default;
};

// How a view is cut from a picture: `crop` is the portal's part of that picture (its pixels),
// `part` the whole pixels of it the view covers (at least one), `output` its size once
// scaled to the phone's pixels and never above the source's, and `shows` the part as the
// fraction of the portal it exactly is, which is what the phone is told.
struct ViewCut {
  PixelRect part;
  PixelSize output;
  NormalizedRect shows;

  friend bool operator==(const ViewCut&, const ViewCut&) = default;
};
std::optional<ViewCut> cutView(const PixelRect& crop, const PortalView& view);

}  // namespace tavelin
