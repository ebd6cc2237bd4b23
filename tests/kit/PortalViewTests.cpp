#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TavelinKit/Model/PortalView.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

namespace tavelin {
namespace {

std::optional<PortalView> viewOf(const std::string& json) {
  const auto message = InputMessage::parse(json);
  EXPECT_TRUE(message) << json;
  return message ? message->view : std::nullopt;
}

// What a zoomed-in phone says it shows, and what counts as going back to the whole portal.
TEST(PortalView, ReadFromTheViewportMessage) {
  const auto view = viewOf(
      R"({"type":"viewport","x":0.25,"y":0.5,"width":0.5,"height":0.25,"pixelWidth":1170,"pixelHeight":540.4})");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->area, (NormalizedRect{0.25, 0.5, 0.5, 0.25}));
  EXPECT_EQ(view->pixels, (PixelSize{1170, 540}));
  // Written back with the wire's keys, read back the same.
  const auto message = InputMessage::parse(
      R"({"type":"viewport","x":0.25,"y":0.5,"width":0.5,"height":0.25,"pixelWidth":1170,"pixelHeight":540})");
  ASSERT_TRUE(message);
  EXPECT_EQ(InputMessage::parse(message->jsonString()), message);

  // The whole portal: no part named, or one that names nothing.
  for (
      const char* whole : {
          R"({"type":"viewport"})",
          R"({"type":"viewport","x":0.1,"y":0.1,"width":0.5,"height":0.5,"pixelWidth":100})",
          R"({"type":"viewport","x":"0","y":0,"width":1,"height":1,"pixelWidth":9,"pixelHeight":9})",
          R"({"type":"viewport","x":0,"y":0,"width":0,"height":1,"pixelWidth":9,"pixelHeight":9})",
          R"({"type":"viewport","x":1,"y":0,"width":0.5,"height":1,"pixelWidth":9,"pixelHeight":9})",
          R"({"type":"viewport","x":0,"y":0,"width":1,"height":1,"pixelWidth":0.4,"pixelHeight":9})",
          R"({"type":"viewport","x":0,"y":0,"width":-1,"height":1,"pixelWidth":9,"pixelHeight":9})",
          R"({"type":"viewport","x":0,"y":0,"width":true,"height":1,"pixelWidth":9,"pixelHeight":9})",
      }) {
    EXPECT_FALSE(viewOf(whole)) << whole;
  }
  // The same numbers on another message are no view.
  EXPECT_FALSE(
      viewOf(R"({"type":"tap","x":0,"y":0,"width":1,"height":1,"pixelWidth":9,"pixelHeight":9})"));
}

TEST(PortalView, KeepsToThePortalAndToBoundedPixels) {
  // Half of the area is beyond the portal's edge: what is inside remains.
  const auto edge = PortalView::make(0.75, -0.25, 0.5, 0.5, 8000, 1e9);
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->area, (NormalizedRect{0.75, 0, 0.25, 0.25}));
  EXPECT_EQ(edge->pixels, (PixelSize{PortalView::maxPixels, PortalView::maxPixels}));
  EXPECT_FALSE(PortalView::make(0, 0, 1, 1, std::nan(""), 10));
}

// The part is cut in whole pixels of the portal, which may sit anywhere in the captured
// picture and have any shape; the phone is told exactly which fraction it got.
TEST(PortalView, CutsWholePixelsAndSaysWhichPart) {
  const PixelRect portal{10, 20, 333, 101};  // odd sizes, off the picture's corner
  const auto cut = cutView(portal, *PortalView::make(0.1, 0.5, 0.3, 0.5, 2000, 2000));
  ASSERT_TRUE(cut);
  // 33.3 → 33 and 133.2 → 134 across; 50.5 → 50 and 101 down.
  EXPECT_EQ(cut->part, (PixelRect{43, 70, 101, 51}));
  EXPECT_EQ(cut->output, (PixelSize{101, 51}));  // never above the source's pixels
  EXPECT_DOUBLE_EQ(cut->shows.x, 33.0 / 333);
  EXPECT_DOUBLE_EQ(cut->shows.width, 101.0 / 333);
  EXPECT_DOUBLE_EQ(cut->shows.y, 50.0 / 101);
  EXPECT_DOUBLE_EQ(cut->shows.height, 51.0 / 101);
  // The part covers all of the area asked for.
  EXPECT_LE(cut->shows.x, 0.1);
  EXPECT_GE(cut->shows.right(), 0.4);

  // Fewer phone pixels than source pixels: one scale for both sides, to fit the phone's box.
  const PixelRect screen{0, 0, 3840, 2160};
  const auto scaled = cutView(screen, *PortalView::make(0.25, 0.25, 0.5, 0.5, 960, 1000));
  ASSERT_TRUE(scaled);
  EXPECT_EQ(scaled->part, (PixelRect{960, 540, 1920, 1080}));
  EXPECT_EQ(scaled->output, (PixelSize{960, 540}));
  EXPECT_EQ(scaled->shows, (NormalizedRect{0.25, 0.25, 0.5, 0.5}));

  // A sliver still gets a pixel, inside the portal, also at its far edge.
  const auto sliver = cutView(portal, *PortalView::make(0.9999999, 0.9999999, 1e-9, 1e-9, 5, 5));
  ASSERT_TRUE(sliver);
  EXPECT_EQ(sliver->part, (PixelRect{342, 120, 1, 1}));
  EXPECT_EQ(sliver->output, (PixelSize{1, 1}));
  EXPECT_FALSE(cutView(PixelRect{0, 0, 0, 5}, *PortalView::make(0, 0, 1, 1, 5, 5)));
}

TEST(PortalView, PicturesOfPartsAreAnnounced) {
  const auto text = pictureViewJson({0.25, 0.5, 0.125, 0.5});
  EXPECT_EQ(
      nlohmann::json::parse(text),
      nlohmann::json::parse(R"({"type":"view","x":0.25,"y":0.5,"width":0.125,"height":0.5})"));
}

}  // namespace
}  // namespace tavelin
