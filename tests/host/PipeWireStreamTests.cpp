// The PipeWire capture stream on a private PipeWire daemon with WirePlumber, fed by a video
// source of the test's own: exact pixels of the crop and the source rectangle, no picture for
// a buffer that changed nothing, the frame interval, stop and start, and a node that goes away.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "TavelinHost/Platform/Wayland/PipeWireConsumer.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireStream.hpp"
#include "tests/support/FakeStreamProvider.hpp"
#include "tests/support/PictureProducer.hpp"
#include "tests/support/PipeWireSession.hpp"
#include "tests/support/SampleLog.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::pattern;
using testing::SampleLog;
using testing::shows;

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

// Lets go of a stream and waits until its worker has let go too. A stream's worker holds it until
// the work after the last completion ends, so the last hold may be the worker's; a test binary
// that ended meanwhile would tear down the dispatch the stream's destructor still uses.
template <typename Stream>
bool release(std::shared_ptr<Stream>& stream) {
  const std::weak_ptr<Stream> held = stream;
  stream.reset();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!held.expired()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
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
      EXPECT_TRUE(release(stream));
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
  EXPECT_TRUE(release(other));

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

TEST_F(PipeWireStreamTest, AConsumerOfOneSizeGetsThatSizeOrNoStream) {
  // A node of any size sends the one asked for.
  testing::PictureProducer any(640, 480, 10ms, true);
  std::mutex lock;
  std::condition_variable seen;
  std::optional<std::pair<int, int>> size;
  wayland::PipeWireConsumer::Handlers handlers;
  handlers.size = PixelSize{320, 200};
  handlers.frame = [&](const wayland::NodeFrame& frame) {
    {
      std::lock_guard guard(lock);
      size = std::pair(frame.width, frame.height);
    }
    seen.notify_all();
    return std::optional<wayland::PipeWireConsumer::Clock::time_point>();
  };
  std::error_code error;
  auto consumer = wayland::PipeWireConsumer::connect({any.nodeID(), -1}, handlers, error);
  ASSERT_TRUE(consumer) << error.message();
  {
    std::unique_lock guard(lock);
    ASSERT_TRUE(seen.wait_for(guard, 20s, [&] { return size.has_value(); }));
    EXPECT_EQ(*size, std::pair(320, 200));
  }
  EXPECT_EQ(any.size(), (PixelSize{320, 200}));
  consumer.reset();

  // Without a frame handler every buffer goes back at once: the node keeps streaming.
  testing::PictureProducer kept(640, 480, 10ms, true);
  wayland::PipeWireConsumer::Handlers quiet;
  quiet.size = PixelSize{64, 48};
  consumer = wayland::PipeWireConsumer::connect({kept.nodeID(), -1}, quiet, error);
  ASSERT_TRUE(consumer) << error.message();
  EXPECT_TRUE(kept.waitSent(20));
  EXPECT_EQ(kept.size(), (PixelSize{64, 48}));
  consumer.reset();

  // A size no node sends is refused before anything is linked.
  quiet.size = PixelSize{0, 48};
  EXPECT_FALSE(wayland::PipeWireConsumer::connect({kept.nodeID(), -1}, quiet, error));
  EXPECT_EQ(error, std::errc::invalid_argument);
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

}  // namespace
}  // namespace tavelin
