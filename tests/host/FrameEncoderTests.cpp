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

}  // namespace
}  // namespace tavelin
