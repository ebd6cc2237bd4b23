#include <gtest/gtest.h>

#include "TavelinHost/Capture/LiveDisplayPreview.hpp"
#include "TavelinHost/Capture/TavelinVirtualDisplay.hpp"
#include "tests/support/FakePlatform.hpp"

namespace tavelin {
namespace {

TEST(TavelinVirtualDisplay, AsksThePlatformOnlyForAUsableDisplay) {
  testing::RecordingVirtualDisplayPlatform platform;
  EXPECT_FALSE(TavelinVirtualDisplay::create(platform, 1, 1080, "Tavelin"));
  EXPECT_FALSE(TavelinVirtualDisplay::create(platform, 1920, 1, "Tavelin"));
  EXPECT_TRUE(platform.requests.empty());

  const auto display = TavelinVirtualDisplay::create(platform, 1920, 1080, "");
  ASSERT_TRUE(display);
  EXPECT_EQ(display->displayID, 7u);
  ASSERT_EQ(platform.requests.size(), 1u);
  EXPECT_EQ(platform.requests[0].name, "Tavelin");
  EXPECT_NEAR(platform.requests[0].widthMillimeters, 496.896, 1e-9);
  EXPECT_NEAR(platform.requests[0].heightMillimeters, 279.504, 1e-9);

  platform.nextID = 0;  // a display without a number is no display
  EXPECT_FALSE(TavelinVirtualDisplay::create(platform, 1920, 1080, "Tavelin"));
  platform.supported = false;
  EXPECT_FALSE(TavelinVirtualDisplay::create(platform, 1920, 1080, "Tavelin"));
  EXPECT_EQ(platform.requests.size(), 2u);
}

TEST(LiveDisplayPreview, PicturesFitTheLimitAndNeverFallBelowTwo) {
  EXPECT_EQ(LiveDisplayPreview::previewSize(1920, 1080, 1, 640), (PixelSize{640, 360}));
  EXPECT_EQ(LiveDisplayPreview::previewSize(1920, 1080, 1, 0), (PixelSize{1920, 1080}));
  EXPECT_EQ(LiveDisplayPreview::previewSize(1440, 900, 2, 640), (PixelSize{640, 400}));
  EXPECT_EQ(LiveDisplayPreview::previewSize(4000, 1, 1, 640), (PixelSize{640, 2}));
}

}  // namespace
}  // namespace tavelin
