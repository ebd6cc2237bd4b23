#include <gtest/gtest.h>

#include <cmath>

#include "TavelinKit/Model/CoordinateMath.hpp"
#include "TavelinKit/Model/PortalCoordinateMapper.hpp"
#include "tests/support/GeometryExpectations.hpp"

namespace tavelin {
namespace {

using testing::expectNear;

TEST(CoordinateMapping, RegionMapperStaysOnTheLastWholePointAndGatesTheUnitSquare) {
  const ScreenRegionCoordinateMapper mapper({100, 50, 800, 600});
  EXPECT_EQ(mapper.mapToScreen({0, 0}), (ScreenPoint{100, 50}));
  EXPECT_EQ(mapper.mapToScreen({1, 1}), (ScreenPoint{899, 649}));
  EXPECT_EQ(mapper.mapToScreen({0.5, 0.5}), (ScreenPoint{500, 350}));
  EXPECT_EQ(mapper.mapToScreen({1.0001, 0.5}), std::nullopt);
  EXPECT_EQ(mapper.mapToScreen({-0.0001, 0.5}), std::nullopt);
  EXPECT_EQ(mapper.mapToScreen({std::nan(""), 0.5}), std::nullopt);
  EXPECT_EQ(mapper.targetWindowID(), std::nullopt);

  // Displays left of the main one have negative coordinates; halves round away from zero.
  const ScreenRegionCoordinateMapper left({-1920, 0, 1920, 1080});
  EXPECT_EQ(left.mapToScreen({0.5, 0.25}), (ScreenPoint{-960, 270}));
  EXPECT_EQ(CoordinateMath::mapNormalizedToScreen({0.25, 0}, {-10, 0, 2, 2}),
            (ScreenPoint{-10, 0}));  // -9.5 rounds to -10

  EXPECT_EQ(ScreenRegionCoordinateMapper({0, 0, 0, 600}).mapToScreen({0.5, 0.5}), std::nullopt);
  EXPECT_EQ(ScreenRegionCoordinateMapper({0, 0, 800, -1}).mapToScreen({0.5, 0.5}), std::nullopt);
  // A region narrower than a point maps everything to its origin.
  EXPECT_EQ(ScreenRegionCoordinateMapper({10, 10, 0.5, 0.5}).mapToScreen({1, 1}),
            (ScreenPoint{10, 10}));
}

TEST(CoordinateMapping, WindowMapperFollowsTheLiveGeometry) {
  auto provider = std::make_shared<StaticWindowGeometryProvider>(
      WindowGeometry{{200, 100, 400, 300}, {800, 600}}, true);
  std::optional<WindowID> id = 77;
  const WindowCoordinateMapper mapper(provider, [&] { return id; });

  EXPECT_EQ(mapper.mapToScreen({0.5, 0.5}), (ScreenPoint{400, 250}));
  EXPECT_EQ(mapper.mapToWindowLocal({0.5, 0.5}), (ScreenPoint{400, 300}));
  EXPECT_EQ(mapper.mapToWindowLocal({1, 1}), (ScreenPoint{799, 599}));
  EXPECT_EQ(mapper.targetWindowID(), 77u);
  id = std::nullopt;
  EXPECT_EQ(mapper.targetWindowID(), std::nullopt);

  provider->set({{0, 0, 100, 100}, {100, 100}}, true);  // the window moved
  EXPECT_EQ(mapper.mapToScreen({1, 0}), (ScreenPoint{99, 0}));

  provider->setAvailable(false);
  EXPECT_EQ(mapper.mapToScreen({0.5, 0.5}), std::nullopt);
  EXPECT_EQ(mapper.mapToWindowLocal({0.5, 0.5}), std::nullopt);

  provider->set({{0, 0, 100, 100}, {0, 0}}, true);  // nothing captured yet
  EXPECT_EQ(mapper.mapToScreen({0.5, 0.5}), std::nullopt);
  EXPECT_EQ(mapper.mapToScreen({2, 0.5}), std::nullopt);
}

TEST(CoordinateMapping, StaticProviderScalesTheSurface) {
  const StaticWindowGeometryProvider hiDpi(ScreenRect{10, 10, 100.25, 50}, 2.0);
  EXPECT_EQ(hiDpi.currentGeometry(), (WindowGeometry{{10, 10, 100.25, 50}, {201, 100}}));
  const StaticWindowGeometryProvider empty(ScreenRect{10, 10, 0, 50}, 1.0);
  EXPECT_EQ(empty.currentGeometry(), std::nullopt);
}

TEST(CoordinateMapping, EffectiveRegionFollowsTheResizeBehavior) {
  using CoordinateMath::resolveEffectiveRegion;
  const NormalizedRect stored{0.5, 0.5, 0.25, 0.25};
  const PixelRect drawn{400, 300, 200, 150};  // on an 800 × 600 surface

  for (const PixelSize surface : {PixelSize{1600, 1200}, PixelSize{10, 10}, PixelSize{0, 0}}) {
    EXPECT_EQ(resolveEffectiveRegion(stored, drawn, surface, RegionResizeBehavior::scaleWithWindow),
              stored);
  }
  expectNear(
      resolveEffectiveRegion(stored, drawn, {1600, 1200}, RegionResizeBehavior::keepPixelSize),
      {0.25, 0.25, 0.125, 0.125});
  // The window shrank below the region's right and bottom edges: 400, 300, 100 × 100 remain.
  expectNear(resolveEffectiveRegion(stored, drawn, {500, 400}, RegionResizeBehavior::keepPixelSize),
             {0.8, 0.75, 0.2, 0.25});
  // Smaller than the region's origin: it slides in and keeps what fits.
  expectNear(resolveEffectiveRegion(stored, drawn, {300, 200}, RegionResizeBehavior::keepPixelSize),
             {299.0 / 300, 199.0 / 200, 1.0 / 300, 1.0 / 200});
  EXPECT_EQ(resolveEffectiveRegion({0.5, 0.5, 0.9, 0.9}, PixelRect::empty, {800, 600},
                                   RegionResizeBehavior::keepPixelSize),
            (NormalizedRect{0.5, 0.5, 0.5, 0.5}));
  EXPECT_EQ(resolveEffectiveRegion({0.5, 0.5, 0.9, 0.9}, drawn, {0, 600},
                                   RegionResizeBehavior::keepPixelSize),
            (NormalizedRect{0.5, 0.5, 0.5, 0.5}));
}

TEST(CoordinateMapping, WindowRegionMapperTouchesWhatTheCropShows) {
  auto provider = std::make_shared<StaticWindowGeometryProvider>(
      WindowGeometry{{100, 100, 400, 300}, {800, 600}}, true);
  const WindowRegionCoordinateMapper mapper(provider, {0.5, 0.5, 0.25, 0.25}, {400, 300, 200, 150},
                                            RegionResizeBehavior::keepPixelSize,
                                            [] { return std::optional<WindowID>(9); });

  EXPECT_EQ(mapper.resolveCropRect({800, 600}), (PixelRect{400, 300, 200, 150}));
  EXPECT_EQ(mapper.mapToScreen({0, 0}), (ScreenPoint{300, 250}));
  EXPECT_EQ(mapper.mapToScreen({1, 1}), (ScreenPoint{400, 325}));
  EXPECT_EQ(mapper.mapToWindowLocal({0.5, 0.5}), (ScreenPoint{500, 375}));
  EXPECT_EQ(mapper.targetWindowID(), 9u);

  // The window doubled its size: same pixels, so the crop and the touch stay on them.
  provider->set({{100, 100, 800, 600}, {1600, 1200}}, true);
  EXPECT_EQ(mapper.resolveCropRect({1600, 1200}), (PixelRect{400, 300, 200, 150}));
  EXPECT_EQ(mapper.mapToWindowLocal({0.5, 0.5}), (ScreenPoint{500, 375}));
  EXPECT_EQ(mapper.mapToScreen({0.5, 0.5}), (ScreenPoint{350, 288}));  // 287.5 rounds up

  EXPECT_EQ(mapper.resolveCropRect({0, 0}), PixelRect::empty);
  EXPECT_EQ(mapper.mapToScreen({1.5, 0}), std::nullopt);
  provider->setAvailable(false);
  EXPECT_EQ(mapper.mapToScreen({0.5, 0.5}), std::nullopt);
}

TEST(CoordinateMapping, LetterboxFitsCentresAndIgnoresTheBars) {
  using namespace LetterboxMath;
  EXPECT_EQ(containRect({1920, 1080}, 400, 400), (RenderRect{0, 87.5, 400, 225}));
  EXPECT_EQ(containRect({1080, 1920}, 400, 400), (RenderRect{87.5, 0, 225, 400}));
  EXPECT_EQ(containRect({0, 1080}, 400, 400), RenderRect{});
  EXPECT_EQ(containRect({100, 100}, 0, 400), RenderRect{});

  EXPECT_EQ(mapViewportToNormalized({1920, 1080}, 400, 400, 200, 50), std::nullopt);
  EXPECT_EQ(mapViewportToNormalized({1920, 1080}, 400, 400, 200, 87.5), (NormalizedPoint{0.5, 0}));
  EXPECT_EQ(mapViewportToNormalized({1920, 1080}, 400, 400, 400, 312.5), (NormalizedPoint{1, 1}));
  EXPECT_EQ(mapViewportToNormalized({1920, 1080}, 400, 400, 400.01, 200), std::nullopt);
  EXPECT_EQ(mapViewportToNormalized({0, 0}, 400, 400, 200, 200), std::nullopt);
  EXPECT_EQ(mapViewportToNormalized({1920, 1080}, 0, 400, 0, 0), std::nullopt);
}

}  // namespace
}  // namespace tavelin
