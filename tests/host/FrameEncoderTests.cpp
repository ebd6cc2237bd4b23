#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "TavelinHost/Capture/FrameEncoder.hpp"
#include "tests/support/FakeClock.hpp"

namespace tavelin {
namespace {

TEST(FramePlan, ContentCropAndScaleArithmetic) {
  struct Row {
    const char* name;
    PixelSize buffer;
    std::optional<ScreenRect> content;
    double scale;
    int limit;
    std::optional<FramePlan> expected;
  };
  const Row rows[] = {
      {"content x 10.4 at scale 2 starts at 21",
       {400, 200},
       ScreenRect{10.4, 0, 100, 50},
       2,
       0,
       FramePlan{{21, 0, 200, 100}, {200, 100}}},
      {"10.25 at scale 2 is 20.5, rounded away from zero",
       {400, 200},
       ScreenRect{10.25, 0, 100, 50},
       2,
       0,
       FramePlan{{21, 0, 200, 100}, {200, 100}}},
      {"no content rect: the whole buffer",
       {640, 480},
       std::nullopt,
       1,
       0,
       FramePlan{{0, 0, 640, 480}, {640, 480}}},
      {"2560x1440 under a 1280 limit",
       {2560, 1440},
       std::nullopt,
       1,
       1280,
       FramePlan{{0, 0, 2560, 1440}, {1280, 720}}},
      {"1000x500 is never enlarged",
       {1000, 500},
       std::nullopt,
       1,
       1280,
       FramePlan{{0, 0, 1000, 500}, {1000, 500}}},
      {"2x2000 under 640 keeps a side of 1",
       {2, 2000},
       std::nullopt,
       1,
       640,
       FramePlan{{0, 0, 2, 2000}, {1, 640}}},
      {"content beyond the buffer is kept inside",
       {100, 100},
       ScreenRect{50, 50, 100, 100},
       1,
       0,
       FramePlan{{50, 50, 50, 50}, {50, 50}}},
      {"content off the buffer slides in",
       {100, 100},
       ScreenRect{500, 0, 10, 10},
       1,
       0,
       FramePlan{{99, 0, 1, 10}, {1, 10}}},
      {"empty buffer", {0, 100}, std::nullopt, 1, 0, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(planFrame(row.buffer, row.content, row.scale, {}, row.limit), row.expected)
        << row.name;
  }
  // The source's crop applies inside the content area and is kept there.
  const auto region = planFrame(
      {400, 300}, ScreenRect{0, 100, 200, 100}, 1,
      [](const PixelSize& content) {
        EXPECT_EQ(content, (PixelSize{200, 100}));
        return PixelRect{150, 50, 100, 100};
      },
      0);
  EXPECT_EQ(region, (FramePlan{{150, 150, 50, 50}, {50, 50}}));
  EXPECT_EQ(planFrame(
                {400, 300}, std::nullopt, 1,
                [](const PixelSize&) {
                  return PixelRect{0, 0, 0, 10};
                },
                0),
            std::nullopt);
}

// A picture whose left half is red and right half blue, BGRX.
CaptureSample halves(int width, int height, FrameStatus status = FrameStatus::complete) {
  auto bytes =
      std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(width * height * 4));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = bytes->data() + (y * width + x) * 4;
      const bool left = x < width / 2;
      p[0] = left ? 0 : 255;  // blue
      p[1] = 0;
      p[2] = left ? 255 : 0;  // red
      p[3] = 0;
    }
  }
  CaptureSample sample;
  sample.isValid = true;
  sample.status = status;
  sample.contentRect = {0, 0, static_cast<double>(width), static_cast<double>(height)};
  sample.pixels = PixelBuffer::of(width, height, width * 4, bytes);
  return sample;
}

struct Decoded {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

Decoded decode(const Bytes& jpeg) {
  Decoded out;
  tjhandle handle = tjInitDecompress();
  int subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &out.width, &out.height, &subsampling,
                          &colourspace) == 0) {
    out.rgb.resize(static_cast<std::size_t>(out.width * out.height * 3));
    tjDecompress2(handle, jpeg.data(), jpeg.size(), out.rgb.data(), out.width, 0, out.height,
                  TJPF_RGB, 0);
  }
  tjDestroy(handle);
  return out;
}

TEST(FrameEncoder, EncodesTheCropScaledAsAJpegOfTheReportedSize) {
  FrameEncoder encoder;
  const Date now = testing::utc(2026, 3, 1);
  // The right half only, scaled from 320x240 down to a longest side of 100.
  const auto frame = encoder.makeFrame(
      halves(640, 240),
      [](const PixelSize& content) {
        return PixelRect{content.width / 2, 0, content.width / 2, content.height};
      },
      100, 0.6, now);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->size, (PixelSize{100, 75}));
  EXPECT_EQ(frame->timestamp, now);
  const auto picture = decode(*frame->jpeg);
  ASSERT_EQ(picture.width, 100);
  ASSERT_EQ(picture.height, 75);
  const std::uint8_t* centre = &picture.rgb[static_cast<std::size_t>((37 * 100 + 50) * 3)];
  EXPECT_LT(centre[0], 40);   // red
  EXPECT_GT(centre[2], 200);  // blue

  // The same encoder again, unscaled and odd-sized: buffers are reused and resized.
  const auto whole = encoder.makeFrame(halves(201, 101), {}, 0, 0.9, now);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size, (PixelSize{201, 101}));
  EXPECT_EQ(decode(*whole->jpeg).width, 201);

  for (const auto status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                            FrameStatus::started, FrameStatus::stopped}) {
    EXPECT_FALSE(encoder.makeFrame(halves(64, 64, status), {}, 0, 0.6, now));
  }
  CaptureSample broken = halves(64, 64);
  broken.pixels->stride = 10;  // shorter than a row
  EXPECT_FALSE(encoder.makeFrame(broken, {}, 0, 0.6, now));
  broken.pixels.reset();
  EXPECT_FALSE(encoder.makeFrame(broken, {}, 0, 0.6, now));
}

// A zoomed-in phone's part is cut from the source's pixels before any scaling: where the
// whole portal leaves down-scaled, the part keeps the source's resolution, up to the phone's.
TEST(FrameEncoder, MakesAPictureForEachViewFromTheSourcePixels) {
  FrameEncoder encoder;
  const Date now = testing::utc(2026, 3, 1);
  // Red left half, blue right half; the portal is its middle 600x200, shown whole at 150 wide.
  const auto sample = halves(640, 240);
  const auto middle = [](const PixelSize&) { return PixelRect{20, 20, 600, 200}; };
  const auto inBlue = PortalView::make(0.75, 0.25, 0.125, 0.5, 2000, 2000);
  const auto small = PortalView::make(0.0, 0.0, 0.5, 1, 60, 60);
  const std::optional<PortalView> views[] = {std::nullopt, inBlue, small};
  const auto set = encoder.makeFrames(sample, middle, 150, 0.8, now, views);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->size, (PixelSize{150, 50}));
  ASSERT_EQ(set->frames.size(), 3u);

  const auto& whole = set->frames[0];
  EXPECT_EQ(whole.view, std::nullopt);
  EXPECT_EQ(whole.shows, NormalizedRect::full);
  EXPECT_EQ(decode(*whole.jpeg).width, 150);

  // 75 × 100 source pixels, at their own size: never enlarged for the phone's 2000.
  const auto& part = set->frames[1];
  EXPECT_EQ(part.view, inBlue);
  EXPECT_EQ(part.size, (PixelSize{150, 50}));  // still the whole portal's
  EXPECT_EQ(part.shows, (NormalizedRect{0.75, 0.25, 0.125, 0.5}));
  const auto blue = decode(*part.jpeg);
  ASSERT_EQ(blue.width, 75);
  ASSERT_EQ(blue.height, 100);
  for (const std::size_t at : {std::size_t{0}, blue.rgb.size() - 3}) {
    EXPECT_LT(blue.rgb[at], 40);       // no red: the part is inside the blue half
    EXPECT_GT(blue.rgb[at + 2], 200);  // blue
  }

  // The red half's 300 × 200 pixels fit into the phone's 60 × 60 at one scale.
  const auto red = decode(*set->frames[2].jpeg);
  EXPECT_EQ(red.width, 60);
  EXPECT_EQ(red.height, 40);
  EXPECT_GT(red.rgb[0], 200);

  // Nobody watching any view: nothing is encoded, but the portal's size is still known.
  const auto none = encoder.makeFrames(sample, middle, 150, 0.8, now, {});
  ASSERT_TRUE(none);
  EXPECT_EQ(none->size, (PixelSize{150, 50}));
  EXPECT_TRUE(none->frames.empty());
}

}  // namespace
}  // namespace tavelin
