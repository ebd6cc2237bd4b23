// The PipeWire capture stream on a private PipeWire daemon with WirePlumber, fed by a video
// source of the test's own: exact pixels of the crop and the source rectangle, no picture for
// a buffer that changed nothing, the frame interval, stop and start, and a node that goes away.
// Then the assembly of samples from buffers alone: bad buffers, pixel layouts, the pointer,
// and the cost of a picture.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>

#include "TavelinHost/Platform/Wayland/FrameAssembler.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireStream.hpp"
#include "tests/support/FakeStreamProvider.hpp"
#include "tests/support/PictureProducer.hpp"
#include "tests/support/PipeWireSession.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using wayland::FrameAssembler;
using wayland::NodeFrame;
using wayland::PixelLayout;

// BGRx pixels that each say where they are; `seed` sets the fourth byte.
std::vector<std::uint8_t> pattern(int width, int height, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = bytes.data() + (static_cast<std::size_t>(y) * width + x) * 4;
      p[0] = static_cast<std::uint8_t>(x), p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>(x >> 8 | (y >> 8) << 4), p[3] = seed;
    }
  }
  return bytes;
}

// Whether the sample is exactly `part` of a BGRx picture `width` pixels wide.
::testing::AssertionResult shows(const CaptureSample& sample,
                                 const std::vector<std::uint8_t>& picture, int width,
                                 PixelRect part) {
  if (!sample.pixels || sample.pixels->width != part.width || sample.pixels->height != part.height)
    return ::testing::AssertionFailure() << "not a picture of " << part.description();
  const auto& p = *sample.pixels;
  for (int row = 0; row < p.height; ++row) {
    const std::uint8_t* got = p.data.get() + static_cast<std::size_t>(row) * p.stride;
    const std::uint8_t* want =
        picture.data() + ((part.y + row) * static_cast<std::size_t>(width) + part.x) * 4;
    if (std::memcmp(got, want, static_cast<std::size_t>(p.width) * 4) != 0)
      return ::testing::AssertionFailure() << "row " << row << " differs";
  }
  return ::testing::AssertionSuccess();
}

// Samples as they arrive, with their arrival, for the test to wait on.
class SampleLog {
  template <typename F>
  auto read(F f) {
    std::lock_guard guard(lock_);
    return f(pictures_, idles_);
  }

 public:
  void add(const CaptureSample& sample) {
    const auto at = Clock::now();
    CaptureSample kept = sample;
    if (sample.pixels) {  // a copy of its own: the stream's few picture buffers go back at once
      const auto& p = *sample.pixels;
      kept.pixels = PixelBuffer::of(
          p.width, p.height, p.stride,
          std::make_shared<const std::vector<std::uint8_t>>(p.data.get(), p.data.get() + p.size));
    }
    std::lock_guard guard(lock_);
    (sample.status == FrameStatus::complete ? pictures_ : idles_).push_back({kept, at});
    changed_.notify_all();
  }
  // The `n`th picture (from 0), within `limit`.
  std::optional<CaptureSample> picture(std::size_t n, std::chrono::seconds limit = 20s) {
    std::unique_lock guard(lock_);
    if (!changed_.wait_for(guard, limit, [&] { return pictures_.size() > n; })) return {};
    return pictures_[n].sample;
  }
  bool waitIdles(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, 20s, [&] { return idles_.size() >= count; });
  }
  std::size_t pictures() {
    return read([](auto& p, auto&) { return p.size(); });
  }
  std::size_t all() {
    return read([](auto& p, auto& i) { return p.size() + i.size(); });
  }
  Clock::time_point pictureAt(std::size_t n) {
    return read([&](auto& p, auto&) { return p[n].at; });
  }
  Clock::time_point idleAt(std::size_t n) {
    return read([&](auto&, auto& i) { return i[n].at; });
  }

 private:
  struct Entry {
    CaptureSample sample;
    Clock::time_point at;
  };
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Entry> pictures_, idles_;
};

// Errors the stream reported on its own.
class StopLog {
 public:
  void add(std::error_code error) {
    std::lock_guard guard(lock_);
    errors_.push_back(error);
    changed_.notify_all();
  }
  bool wait(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, 20s, [&] { return errors_.size() >= count; });
  }
  std::vector<std::error_code> errors() {
    std::lock_guard guard(lock_);
    return errors_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::error_code> errors_;
};

std::error_code await(const std::function<void(CaptureCompletion)>& operation) {
  auto result = std::make_shared<std::promise<std::error_code>>();
  operation([result](std::error_code error) { result->set_value(error); });
  auto future = result->get_future();
  if (future.wait_for(30s) != std::future_status::ready)
    return std::make_error_code(std::errc::timed_out);
  return future.get();
}

StreamConfiguration still(std::chrono::milliseconds interval) {
  StreamConfiguration configuration;
  configuration.showsCursor = false;
  configuration.minimumFrameInterval = interval;
  return configuration;
}

class PipeWireStreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session = new testing::PipeWireSession(); }
  static void TearDownTestSuite() { delete session; }
  void SetUp() override { ASSERT_EQ(session->failure(), "") << session->failure(); }
  void TearDown() override {
    if (stream) {
      EXPECT_FALSE(await([&](auto done) { stream->stop(done); }));
    }
  }

  std::shared_ptr<CaptureStream> open(std::uint32_t node, StreamConfiguration configuration) {
    provider->offer(wayland::PipeWireNode{node, -1});
    ContentFilter filter{DisplayContent{1, {}}, 1, {0, 0, 1920, 1080}};
    stream = std::make_shared<wayland::PipeWireStream>(provider, filter, configuration);
    stream->onStoppedWithError = [log = stops](std::error_code error) { log->add(error); };
    stream->addOutput(frames, [log = samples](const CaptureSample& s) { log->add(s); });
    return stream;
  }
  std::error_code start() {
    return await([&](auto done) { stream->start(done); });
  }
  std::error_code stop() {
    return await([&](auto done) { stream->stop(done); });
  }

  static testing::PipeWireSession* session;
  std::shared_ptr<testing::FakeStreamProvider> provider =
      std::make_shared<testing::FakeStreamProvider>();
  SerialQueue frames{"tavelin.test.frames"};
  std::shared_ptr<SampleLog> samples = std::make_shared<SampleLog>();
  std::shared_ptr<StopLog> stops = std::make_shared<StopLog>();
  std::shared_ptr<CaptureStream> stream;
};

testing::PipeWireSession* PipeWireStreamTest::session = nullptr;

TEST_F(PipeWireStreamTest, ShowsExactlyTheCropAndThenTheSourceRectangleWithinIt) {
  testing::PictureProducer producer(640, 480, 10ms);
  const auto picture = pattern(640, 480, 7);
  producer.show(picture, PixelRect{100, 50, 200, 100});
  open(producer.nodeID(), still(10ms));
  ASSERT_FALSE(start());
  const auto first = samples->picture(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->pixels->stride, 800);
  EXPECT_EQ(first->contentRect, (ScreenRect{0, 0, 200, 100}));
  EXPECT_EQ(first->scaleFactor, 1);
  EXPECT_TRUE(shows(*first, picture, 640, {100, 50, 200, 100}));

  // Nothing changes on the node, yet the new rectangle shows at once.
  auto narrower = still(10ms);
  narrower.sourceRect = ScreenRect{20, 10, 50, 40};
  ASSERT_FALSE(await([&](auto done) { stream->updateConfiguration(narrower, done); }));
  const auto cropped = samples->picture(1);
  ASSERT_TRUE(cropped);
  EXPECT_TRUE(shows(*cropped, picture, 640, {120, 60, 50, 40}));
}

TEST_F(PipeWireStreamTest, ABufferThatChangedNothingGivesNoPictureAndAnEarlyChangeWaitsItsTurn) {
  testing::PictureProducer producer(320, 240, 10ms);
  const auto a = pattern(320, 240, 1), b = pattern(320, 240, 2);
  producer.show(a);
  open(producer.nodeID(), still(300ms));
  ASSERT_FALSE(start());
  ASSERT_TRUE(samples->picture(0));
  // The node keeps sending, without damage: at the next turn an idle sample, no picture.
  ASSERT_TRUE(samples->waitIdles(1));
  ASSERT_TRUE(producer.waitSent(5));
  EXPECT_EQ(samples->pictures(), 1u);

  // A change right after a turn is held back until the next, and not lost.
  producer.show(b);
  const auto second = samples->picture(1);
  ASSERT_TRUE(second);
  EXPECT_TRUE(shows(*second, b, 320, {0, 0, 320, 240}));
  EXPECT_GE(samples->pictureAt(1) - samples->idleAt(0), 270ms);
}

TEST_F(PipeWireStreamTest, SamplesAreNeverCloserThanTheFrameInterval) {
  testing::PictureProducer producer(64, 48, 5ms);
  producer.damagesEvery(true);
  open(producer.nodeID(), still(100ms));
  ASSERT_FALSE(start());
  ASSERT_TRUE(samples->picture(7));
  // Arrival on the output queue adds a little jitter of its own to the stream's spacing.
  for (std::size_t i = 1; i < 8; ++i)
    EXPECT_GE(samples->pictureAt(i) - samples->pictureAt(i - 1), 90ms) << "sample " << i;
  EXPECT_LT(samples->pictureAt(7) - samples->pictureAt(0), 7 * 250ms);
}

TEST_F(PipeWireStreamTest, StopsPullingAndClosesThenStartsAgain) {
  testing::PictureProducer producer(64, 48, 10ms);
  producer.damagesEvery(true);
  open(producer.nodeID(), still(10ms));
  ASSERT_FALSE(start());
  ASSERT_FALSE(start());  // a second start changes nothing
  ASSERT_TRUE(samples->picture(0));
  ASSERT_FALSE(stop());
  ASSERT_FALSE(stop());
  EXPECT_EQ(provider->opens(), 1);
  EXPECT_EQ(provider->closes(), 1);
  frames.sync([] {});  // whatever the stream sent before it stopped has arrived
  const std::size_t before = samples->all();
  // A second capture of the node keeps it sending (an unwatched node pauses): none of its
  // buffers reach the stopped stream.
  auto elsewhere = std::make_shared<testing::FakeStreamProvider>();
  elsewhere->offer(wayland::PipeWireNode{producer.nodeID(), -1});
  auto other = std::make_shared<wayland::PipeWireStream>(
      elsewhere, ContentFilter{DisplayContent{1, {}}, 1, {}}, still(10ms));
  ASSERT_FALSE(await([&](auto done) { other->start(done); }));
  ASSERT_TRUE(producer.waitSent(10));
  frames.sync([] {});
  EXPECT_EQ(samples->all(), before);
  ASSERT_FALSE(await([&](auto done) { other->stop(done); }));

  ASSERT_FALSE(start());
  EXPECT_TRUE(samples->picture(samples->pictures()));
  EXPECT_EQ(provider->opens(), 2);
}

TEST_F(PipeWireStreamTest, AnEndOnItsOwnIsReportedOnceAndTheProviderClosed) {
  auto producer = std::make_unique<testing::PictureProducer>(64, 48, 10ms);
  open(producer->nodeID(), still(10ms));
  ASSERT_FALSE(start());
  ASSERT_TRUE(samples->picture(0));
  producer->close();  // its window closed
  ASSERT_TRUE(stops->wait(1));
  EXPECT_TRUE(stops->errors()[0]);
  EXPECT_EQ(provider->closes(), 1);
  provider->endByItself();  // the desktop also says so: still one report
  ASSERT_FALSE(stop());
  EXPECT_EQ(stops->errors().size(), 1u);
  EXPECT_EQ(provider->closes(), 1);

  // The desktop ending the session on its own counts the same.
  producer = std::make_unique<testing::PictureProducer>(64, 48, 10ms);
  provider->offer(wayland::PipeWireNode{producer->nodeID(), -1});
  ASSERT_FALSE(start());
  provider->endByItself();
  ASSERT_TRUE(stops->wait(2));
  EXPECT_EQ(provider->closes(), 2);
}

TEST_F(PipeWireStreamTest, AStartFailsWhenTheNodeIsMissingOrRefused) {
  open(4'000'000, still(10ms));
  EXPECT_TRUE(start());
  EXPECT_EQ(provider->closes(), 1);  // opened, and closed again
  provider->offer(std::nullopt);
  EXPECT_EQ(start(), std::errc::permission_denied);
  EXPECT_EQ(provider->closes(), 1);
  EXPECT_TRUE(stops->errors().empty());
}

// Samples from buffers alone, offered by hand at times the test picks.
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
