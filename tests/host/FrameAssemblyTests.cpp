// Samples assembled from buffers made by hand, offered at times the test picks: bad buffers,
// pixel layouts, the pointer, the turns of the frame interval, and the cost of a picture.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "TavelinHost/Platform/FramePacer.hpp"
#include "TavelinHost/Platform/Wayland/FrameAssembler.hpp"
#include "tests/support/SampleLog.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::Clock;
using testing::pattern;
using testing::SampleLog;
using testing::shows;
using wayland::FrameAssembler;
using wayland::NodeFrame;
using wayland::PixelLayout;

StreamConfiguration still(std::chrono::milliseconds interval) {
  StreamConfiguration configuration;
  configuration.showsCursor = false;
  configuration.minimumFrameInterval = interval;
  return configuration;
}

class FrameAssemblyTest : public ::testing::Test {
 protected:
  std::shared_ptr<FrameAssembler> make(StreamConfiguration configuration) {
    auto assembler =
        std::make_shared<FrameAssembler>(configuration, ContentFilter{DisplayContent{0, {}}, 1, {}},
                                         [this](std::string_view, std::string_view line) {
                                           std::lock_guard guard(lock);
                                           logs.emplace_back(line);
                                         });
    assembler->setOutput(frames, [log = samples](const CaptureSample& s) { log->add(s); });
    return assembler;
  }
  static NodeFrame frameOf(const std::vector<std::uint8_t>& bytes, int width, int height,
                           PixelLayout layout = PixelLayout::bgrx) {
    return NodeFrame{bytes.data(), bytes.size(), width, height, width * 4, layout, {}, true, {}};
  }
  std::size_t offer(FrameAssembler& assembler, const NodeFrame& frame, Clock::time_point at) {
    EXPECT_FALSE(assembler.offer(frame, at));
    frames.sync([] {});
    return samples->pictures();
  }

  SerialQueue frames{"tavelin.test.frames"};
  std::shared_ptr<SampleLog> samples = std::make_shared<SampleLog>();
  std::mutex lock;
  std::vector<std::string> logs;
  const Clock::time_point t0 = Clock::now();
};

TEST_F(FrameAssemblyTest, BadBuffersAreLoggedAndNeverReadOutside) {
  struct Case {
    const char* name;
    std::function<void(NodeFrame&)> spoil;
    std::optional<PixelRect> shown;  // of the 40×30 picture
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"short by a byte", [](NodeFrame& f) { f.size -= 1; }, {}, "needs 4800"},
      {"rows too short", [](NodeFrame& f) { f.stride = 100; }, {}, "has rows of 100"},
      {"no pixels", [](NodeFrame& f) { f.width = 0; }, {}, "0x30"},
      {"crop partly outside",
       [](NodeFrame& f) {
         f.crop = PixelRect{30, 20, 20, 20};
       },
       PixelRect{30, 20, 10, 10}, "reaches outside"},
      {"crop wholly outside",
       [](NodeFrame& f) {
         f.crop = PixelRect{50, 0, 10, 10};
       },
       {},
       "reaches outside"},
  };
  const auto picture = pattern(40, 30, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Exactly as many bytes as the frame claims, so that a read beyond them trips ASan.
    auto frame = frameOf(picture, 40, 30);
    c.spoil(frame);
    const std::vector<std::uint8_t> exact(
        picture.begin(), picture.begin() + static_cast<std::ptrdiff_t>(frame.size));
    frame.data = exact.data();
    const std::size_t before = samples->pictures();
    offer(*make(still(0ms)), frame, t0);
    EXPECT_EQ(samples->pictures(), before + (c.shown ? 1 : 0));
    if (c.shown) {
      EXPECT_TRUE(shows(*samples->picture(before), picture, 40, *c.shown));
    }
    std::lock_guard guard(lock);
    ASSERT_FALSE(logs.empty());
    EXPECT_NE(logs.back().find(c.logged), std::string::npos) << logs.back();
  }
  auto beside = still(0ms);
  beside.sourceRect = ScreenRect{45, 0, 10, 10};
  const std::size_t before = samples->pictures();
  EXPECT_EQ(offer(*make(beside), frameOf(picture, 40, 30), t0), before);
  std::lock_guard guard(lock);
  EXPECT_NE(logs.back().find("lies outside the content"), std::string::npos) << logs.back();
}

TEST_F(FrameAssemblyTest, EveryLayoutBecomesBgra) {
  const std::vector<std::uint8_t> bgra = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::pair<PixelLayout, std::vector<std::uint8_t>> cases[] = {
      {PixelLayout::bgrx, {1, 2, 3, 4, 5, 6, 7, 8}}, {PixelLayout::bgra, {1, 2, 3, 4, 5, 6, 7, 8}},
      {PixelLayout::rgbx, {3, 2, 1, 4, 7, 6, 5, 8}}, {PixelLayout::rgba, {3, 2, 1, 4, 7, 6, 5, 8}},
      {PixelLayout::xrgb, {4, 3, 2, 1, 8, 7, 6, 5}},
  };
  for (const auto& [layout, bytes] : cases) {
    const std::size_t n = samples->pictures();
    offer(*make(still(0ms)), frameOf(bytes, 2, 1, layout), t0);
    const auto sample = samples->picture(n);
    ASSERT_TRUE(sample);
    EXPECT_EQ(0, std::memcmp(sample->pixels->data.get(), bgra.data(), bgra.size()));
  }
}

TEST_F(FrameAssemblyTest, ThePointerIsDrawnWhereTheNodeSaysAndItsMovesAreChanges) {
  StreamConfiguration configuration = still(10ms);
  configuration.showsCursor = true;
  auto assembler = make(configuration);
  const std::vector<std::uint8_t> black(8 * 8 * 4, 0);
  wayland::NodeCursor cursor{5, 4, 1, 1, 2, 2, std::vector<std::uint8_t>(2 * 2 * 4, 0xFF), 1};
  auto frame = frameOf(black, 8, 8);
  frame.crop = PixelRect{2, 2, 6, 6};
  frame.cursor = &cursor;
  ASSERT_EQ(offer(*assembler, frame, t0), 1u);
  // The image's top left is the hot spot's place less the hot spot, within the crop.
  const auto drawn = samples->picture(0);
  ASSERT_TRUE(drawn);
  const auto& p = *drawn->pixels;
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 6; ++x) {
      const bool under = x >= 2 && x < 4 && y >= 1 && y < 3;
      EXPECT_EQ(p.data.get()[y * p.stride + x * 4], under ? 0xFF : 0) << x << "," << y;
    }
  }
  frame.damaged = false;
  EXPECT_EQ(offer(*assembler, frame, t0 + 20ms), 1u);  // an idle sample
  cursor.x = 6;
  EXPECT_EQ(offer(*assembler, frame, t0 + 40ms), 2u);
}

TEST_F(FrameAssemblyTest, AWindowsSizeIsToldFromItsCropOnceEachTimeItChanges) {
  // A window's stream pads every buffer to the screen; the crop is the window.
  auto assembler = make(still(10ms));
  std::vector<std::pair<int, int>> told;
  assembler->observeContentSize([&](int width, int height) { told.emplace_back(width, height); });
  const auto padded = pattern(16, 12, 0);
  auto frame = frameOf(padded, 16, 12);
  frame.crop = PixelRect{0, 0, 10, 6};
  ASSERT_EQ(offer(*assembler, frame, t0), 1u);
  EXPECT_EQ(offer(*assembler, frame, t0 + 20ms), 2u);  // the same size again: nothing told
  frame.crop = PixelRect{0, 0, 12, 8};                 // resized
  EXPECT_EQ(offer(*assembler, frame, t0 + 40ms), 3u);
  EXPECT_EQ(samples->picture(2)->pixels->width, 12);
  EXPECT_EQ(told, (std::vector<std::pair<int, int>>{{10, 6}, {12, 8}}));
}

TEST_F(FrameAssemblyTest, ChangesBeforeTheirTurnAreAskedForAgainAtIt) {
  auto assembler = make(still(100ms));
  const auto picture = pattern(4, 4, 0);
  auto frame = frameOf(picture, 4, 4);
  EXPECT_FALSE(assembler->offer(frame, t0));
  EXPECT_EQ(assembler->offer(frame, t0 + 30ms), t0 + 100ms);
  frame.damaged = false;
  EXPECT_FALSE(assembler->offer(frame, t0 + 60ms));  // early, and nothing to show anyway
  frame.damaged = true;
  EXPECT_FALSE(assembler->offer(frame, t0 + 130ms));  // served late: the next turn moves too
  EXPECT_EQ(assembler->offer(frame, t0 + 200ms), t0 + 230ms);
  frames.sync([] {});
  EXPECT_EQ(samples->pictures(), 2u);
}

// A phone that has no picture yet gets the last one again on a still screen, as it was shown;
// none of a configuration or connection that is no longer the stream's.
TEST_F(FrameAssemblyTest, TheLastPictureIsRepeatedForAPhoneWithoutOne) {
  auto assembler = make(still(10ms));
  EXPECT_FALSE(assembler->repeat());  // nothing shown yet
  const auto picture = pattern(8, 6, 3);
  EXPECT_EQ(offer(*assembler, frameOf(picture, 8, 6), t0), 1u);
  ASSERT_TRUE(assembler->repeat());
  frames.sync([] {});
  ASSERT_EQ(samples->pictures(), 2u);
  EXPECT_TRUE(shows(*samples->picture(1), picture, 8, {0, 0, 8, 6}));

  assembler->setConfiguration(still(10ms));
  EXPECT_FALSE(assembler->repeat());
  EXPECT_EQ(offer(*assembler, frameOf(picture, 8, 6), t0 + 20ms), 3u);
  EXPECT_TRUE(assembler->repeat());
  assembler->restart();
  EXPECT_FALSE(assembler->repeat());
  frames.sync([] {});
  EXPECT_EQ(samples->pictures(), 4u);
}

// Content at the stream's own rate, its frames a few milliseconds early or late: a fixed
// cadence takes two of them as one now and then and holds others back; the pacer takes each
// as it comes, and a flood still gets no more than the rate.
TEST(FramePacerTest, TakesEveryFrameOfContentAtTheRateAndNoMoreOfAFlood) {
  const auto interval = std::chrono::duration_cast<Clock::duration>(16667us);
  FramePacer pacer;
  const auto start = Clock::time_point{} + 1h;
  int taken = 0;
  for (int frame = 0; frame < 600; ++frame) {
    const auto jitter = std::chrono::milliseconds((frame * 5) % 7 - 3);  // -3 … +3 ms
    const auto at = start + frame * interval + jitter;
    ASSERT_TRUE(pacer.mayTake(at, interval)) << "frame " << frame;
    pacer.took(at, interval);
    ++taken;
  }
  EXPECT_EQ(taken, 600);

  FramePacer flooded;
  int pictures = 0;
  const auto from = start + 1h;
  for (auto at = from; at < from + 10s; at += 1ms) {
    if (!flooded.mayTake(at, interval)) continue;
    flooded.took(at, interval);
    ++pictures;
  }
  EXPECT_GE(pictures, 599);
  EXPECT_LE(pictures, 601);  // 60 a second, the half interval of early credit spent once
  // A turn the pacer names is one it then allows.
  const auto turn = flooded.nextTurn(interval);
  EXPECT_FALSE(flooded.mayTake(turn - 1us, interval));
  EXPECT_TRUE(flooded.mayTake(turn, interval));
}

TEST_F(FrameAssemblyTest, CostOfA720pPicture) {
  auto configuration = still(0ms);
  configuration.sourceRect = ScreenRect{40, 20, 1200, 680};
  const auto picture = pattern(1280, 720, 0);
  for (const auto layout : {PixelLayout::bgrx, PixelLayout::rgbx}) {
    auto assembler = make(configuration);
    auto delivered = std::make_shared<std::atomic<int>>(0);
    assembler->setOutput(frames, [delivered](const CaptureSample& s) {
      if (s.pixels) ++*delivered;
    });
    const auto frame = frameOf(picture, 1280, 720, layout);
    constexpr int count = 200;
    timespec begin{}, end{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
    for (int i = 0; i < count; ++i) {
      assembler->offer(frame, t0 + i * 1ms);
      frames.sync([] {});  // the output keeps up; waiting costs this thread nothing
    }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    ASSERT_EQ(delivered->load(), count);
    const double seconds = static_cast<double>(end.tv_sec - begin.tv_sec) +
                           static_cast<double>(end.tv_nsec - begin.tv_nsec) / 1e9;
    std::printf("[ figure   ] a 1280x720 %s buffer cut to 1200x680 BGRA: %.3f ms CPU a picture\n",
                layout == PixelLayout::bgrx ? "BGRx" : "RGBx", seconds * 1000 / count);
  }
}

}  // namespace
}  // namespace tavelin
