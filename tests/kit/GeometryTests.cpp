#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "TavelinKit/Model/Geometry.hpp"
#include "tests/support/GeometryExpectations.hpp"

namespace tavelin {
namespace {

using testing::expectNear;

TEST(Geometry, RoundsHalvesAwayFromZeroAndSaturates) {
  EXPECT_EQ(roundToInteger(2.5), 3);
  EXPECT_EQ(roundToInteger(-2.5), -3);
  EXPECT_EQ(roundToInteger(0.49999999999999994), 0);
  EXPECT_EQ(roundToInteger(-0.4), 0);
  EXPECT_EQ(roundToInteger(std::nan("")), 0);
  EXPECT_EQ(roundToInteger(1e300), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(roundToInteger(-INFINITY), std::numeric_limits<std::int64_t>::min());
}

TEST(Geometry, ScreenRectEdgesIntersectionAndConstruction) {
  const ScreenRect r{10, 20, 100, 50};
  EXPECT_TRUE(r.contains(10, 20));
  EXPECT_TRUE(r.contains(109.999, 69.999));
  EXPECT_FALSE(r.contains(110, 30));
  EXPECT_FALSE(r.contains(50, 70));
  EXPECT_FALSE(r.contains(9.999, 30));

  EXPECT_EQ(r.intersect({60, 0, 100, 40}), (ScreenRect{60, 20, 50, 20}));
  EXPECT_EQ(r.intersect({110, 20, 10, 10}), ScreenRect::empty);  // shares an edge only
  EXPECT_EQ(r.intersect({0, 0, 5, 5}), ScreenRect::empty);

  EXPECT_EQ(ScreenRect::fromLTRB(10, 20, 5, 30), (ScreenRect{10, 20, -5, 10}));
  EXPECT_TRUE((ScreenRect{0, 0, 10, 0}).isEmpty());
  EXPECT_TRUE((ScreenRect{0, 0, -1, 10}).isEmpty());
  EXPECT_FALSE((ScreenRect{0, 0, 0.5, 0.5}).isEmpty());
  EXPECT_EQ(r.right(), 110);
  EXPECT_EQ(r.bottom(), 70);
}

TEST(Geometry, NormalizedClamping) {
  expectNear(NormalizedRect{0.9, 0.9, 0.5, 0.5}.clamped(), {0.9, 0.9, 0.1, 0.1});
  EXPECT_EQ((NormalizedRect{0.2, 0.2, -0.5, 0.3}.clamped()), (NormalizedRect{0.2, 0.2, 0, 0.3}));
  EXPECT_EQ((NormalizedRect{-0.2, 0, 0.5, 1}.clamped()), (NormalizedRect{0, 0, 0.5, 1}));
  EXPECT_EQ((NormalizedRect{1.3, 0, 0.5, 1}.clamped()), (NormalizedRect{1, 0, 0, 1}));
  EXPECT_EQ((NormalizedPoint{-1, 2}.clamped()), (NormalizedPoint{0, 1}));
  EXPECT_TRUE((NormalizedPoint{0, 1}).isInsideUnitSquare());
  EXPECT_FALSE((NormalizedPoint{1.0001, 0.5}).isInsideUnitSquare());
  EXPECT_FALSE((NormalizedPoint{std::nan(""), 0.5}).isInsideUnitSquare());
}

TEST(Geometry, NormalizedToPixelAndBack) {
  struct Case {
    NormalizedRect rect;
    PixelSize surface;
    PixelRect expected;
  };
  const Case cases[] = {
      {{0.5, 0.5, 0, 0}, {100, 100}, {50, 50, 1, 1}},
      {{1, 1, 1, 1}, {100, 100}, {99, 99, 1, 1}},
      {{0.5, 0.5, 0.5, 0.5}, {0, 100}, PixelRect::empty},
      {{0.125, 0, 0.25, 1}, {4, 4}, {1, 0, 1, 4}},
      {{0, 0, 1, 1}, {1920, 1080}, {0, 0, 1920, 1080}},
      {{-3, 0.5, 9, 0.5}, {10, 10}, {0, 5, 10, 5}},
      {{0.95, 0, 0.5, 1}, {10, 10}, {10 - 1, 0, 1, 10}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.rect.toPixel(c.surface), c.expected) << c.rect.description();
  }

  EXPECT_EQ(NormalizedRect::fromPixel({1, 2, 3, 4}, {0, 10}), NormalizedRect::full);
  expectNear(NormalizedRect::fromPixel({400, 300, 200, 150}, {800, 600}), {0.5, 0.5, 0.25, 0.25});
  expectNear(NormalizedRect::fromPixel({-100, 0, 2000, 600}, {800, 600}), {0, 0, 1, 1});
}

TEST(Geometry, PixelRectSlidesInsideItsContainer) {
  const PixelRect box{0, 0, 1000, 1000};
  EXPECT_EQ((PixelRect{-10, 0, 100, 50}.clamped(box)), (PixelRect{0, 0, 100, 50}));
  EXPECT_EQ((PixelRect{950, 0, 100, 50}.clamped(box)), (PixelRect{950, 0, 50, 50}));
  EXPECT_EQ((PixelRect{5000, 5000, 10, 10}.clamped(box)), (PixelRect{999, 999, 1, 1}));
  EXPECT_EQ((PixelRect{10, 10, 10, 10}.clamped({0, 0, 0, 100})), PixelRect::empty);
  EXPECT_EQ((PixelRect{10, 10, 0, 10}.clamped(box)), PixelRect::empty);
  EXPECT_EQ((PixelRect{10, 10, 20, 30}.size()), (PixelSize{20, 30}));
  EXPECT_EQ((PixelRect{10, 10, 20, 30}.right()), 30);
}

TEST(Geometry, TextForms) {
  EXPECT_EQ((ScreenPoint{99.5, -25.4}).description(), "100,-25");
  EXPECT_EQ((ScreenRect{0.5, -0.5, 99.5, 10}).description(), "100x10 @ 1,-1");
  EXPECT_EQ((ScreenRect{0, 25, 800, 600}).description(), "800x600 @ 0,25");
  EXPECT_EQ((PixelSize{1920, 1080}).description(), "1920x1080");
  EXPECT_EQ((PixelRect{10, 20, 640, 480}).description(), "640x480 @ 10,20");
  EXPECT_EQ((NormalizedPoint{0.25, 0.5}).description(), "0.2500,0.5000");
  EXPECT_EQ((NormalizedRect{0.1, 0.2, 0.5, 0.25}).description(), "0.1000,0.2000 0.5000x0.2500");
}

TEST(Geometry, JsonFormsRoundTripAndRequireEveryKeyWithItsType) {
  using nlohmann::json;
  EXPECT_EQ(toJson(PixelRect{1, 2, 3, 4}), json::parse(R"({"x":1,"y":2,"width":3,"height":4})"));
  EXPECT_EQ(screenRectFromJson(toJson(ScreenRect{1.5, -2, 3, 4})), (ScreenRect{1.5, -2, 3, 4}));
  EXPECT_EQ(normalizedPointFromJson(toJson(NormalizedPoint{0.25, 1})), (NormalizedPoint{0.25, 1}));
  EXPECT_EQ(screenPointFromJson(json::parse(R"({"x":1,"y":2,"extra":"ignored"})")),
            (ScreenPoint{1, 2}));
  EXPECT_EQ(normalizedRectFromJson(json::parse(R"({"x":0,"y":0,"width":1,"height":1})")),
            NormalizedRect::full);

  EXPECT_FALSE(pixelSizeFromJson(json::parse(R"({"width":10})")));
  EXPECT_FALSE(pixelSizeFromJson(json::parse(R"({"width":10,"height":2.5})")));
  EXPECT_FALSE(pixelRectFromJson(json::parse(R"({"x":1,"y":2,"width":"3","height":4})")));
  EXPECT_FALSE(screenRectFromJson(json::parse(R"({"x":true,"y":2,"width":3,"height":4})")));
  EXPECT_FALSE(screenPointFromJson(json::parse(R"([1,2])")));
  EXPECT_FALSE(pixelSizeFromJson(json::parse(R"({"width":10,"height":9223372036854775808})")));
}

}  // namespace
}  // namespace tavelin
