#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "TavelinHost/Capture/CaptureSource.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/support/FakeCaptureService.hpp"
#include "tests/support/ManualExecutor.hpp"
#include "tests/support/ManualTimerQueue.hpp"

namespace tavelin {
namespace {

using State = PortalCaptureState;
using namespace std::chrono_literals;

// The engine with the kind's answers set by the test.
class ScriptedSource final : public CaptureSource {
 public:
  using CaptureSource::CaptureSource;

  std::optional<CaptureSetup> setup =
      CaptureSetup{{DisplayContent{1, {}}, 1, {0, 0, 64, 48}}, baseConfiguration(64, 48, 1)};
  State health = State::capturing;
  bool restart = false;
  int setupsMade = 0;
  std::atomic<int> crops{0};

  std::string descriptionText() const override { return "test source"; }

 protected:
  void makeCaptureSetup(SetupCompletion done) override {
    ++setupsMade;
    done(setup);
  }
  PixelRect cropRect(const PixelSize& contentSize) override {
    ++crops;
    return {0, 0, contentSize.width, contentSize.height};
  }
  State checkTargetHealth() override { return health; }
  bool needsRestart() override { return std::exchange(restart, false); }
};

// The control queue and the streams' completions run only when the test says; pictures go
// through a real frame queue.
class CaptureSourceTest : public ::testing::Test {
 protected:
  CaptureSourceTest() {
    service->streamCompletions = streamEvents;
    PictureSettings settings;
    settings.maxFrameDimension = 32;
    source = std::make_shared<ScriptedSource>(service, recorder.log(), settings,
                                              CaptureQueues{control, frames});
    recorder.attach(*source);
  }

  // Runs the control queue and the streams' answers until both are quiet.
  void settle() {
    while (control->runAll() + streamEvents->runAll() > 0) {
    }
  }
  void tick() {
    control->advance(CaptureSource::watchdogInterval);
    settle();
  }
  std::shared_ptr<testing::FakeCaptureStream> stream(std::size_t index) {
    return index < service->streams.size() ? service->streams[index] : nullptr;
  }
  std::vector<std::string> calls(std::size_t index) { return stream(index)->calls(); }

  std::shared_ptr<testing::FakeCaptureService> service =
      std::make_shared<testing::FakeCaptureService>();
  std::shared_ptr<testing::ManualTimerQueue> control =
      std::make_shared<testing::ManualTimerQueue>();
  std::shared_ptr<testing::ManualExecutor> streamEvents =
      std::make_shared<testing::ManualExecutor>();
  SerialQueue frames{"tavelin.test.frames"};
  testing::CaptureRecorder recorder;
  std::shared_ptr<ScriptedSource> source;
};

TEST_F(CaptureSourceTest, StartsOnceStopsOnceAndSaysSo) {
  source->start();
  source->start();
  settle();
  EXPECT_EQ(recorder.states(), (std::vector{State::starting, State::capturing}));
  EXPECT_EQ(source->setupsMade, 1);
  ASSERT_EQ(service->streams.size(), 1u);
  EXPECT_EQ(calls(0), std::vector<std::string>{"start"});
  EXPECT_EQ(stream(0)->configuration.queueDepth, 3);
  EXPECT_EQ(recorder.logs(),
            std::vector<std::string>{"Capture: Capture started (test source, surface 64x48)"});

  source->stop();
  source->stop();
  settle();
  EXPECT_EQ(recorder.states().back(), State::idle);
  EXPECT_EQ(calls(0), (std::vector<std::string>{"start", "stop"}));
  EXPECT_EQ(recorder.count("Capture: Capture stopped (test source)"), 1);
  EXPECT_EQ(control->activeTimers(), 0);

  // A stopped source stays quiet: no ticks, no lines, no states.
  recorder.clear();
  source->stop();
  tick();
  tick();
  EXPECT_TRUE(recorder.logs().empty());
  EXPECT_TRUE(recorder.states().empty());
}

TEST_F(CaptureSourceTest, AStopDuringAStartLeavesTheSourceIdleAndTheNewStreamStopped) {
  source->start();
  control->runAll();  // the stream exists, its start has not answered yet
  ASSERT_EQ(service->streams.size(), 1u);
  source->stop();
  settle();
  EXPECT_EQ(recorder.states(), (std::vector{State::starting, State::idle}));
  EXPECT_EQ(source->state(), State::idle);
  EXPECT_EQ(calls(0), (std::vector<std::string>{"start", "stop"}));
  EXPECT_EQ(recorder.count("Capture: Capture started (test source, surface 64x48)"), 0);

  // And it starts again normally afterwards.
  source->start();
  settle();
  EXPECT_EQ(source->state(), State::capturing);
  EXPECT_EQ(service->streams.size(), 2u);
}

TEST_F(CaptureSourceTest, WithoutASetupTheHealthAnswerIsPublishedAndCapturingMeansUnavailable) {
  source->setup.reset();
  source->start();
  settle();
  EXPECT_EQ(source->state(), State::windowUnavailable);
  EXPECT_TRUE(service->streams.empty());

  for (State health : {State::windowMinimized, State::sourceUnavailable}) {
    source->stop();
    source->health = health;
    source->start();
    settle();
    EXPECT_EQ(source->state(), health);
  }
}

TEST_F(CaptureSourceTest, PermissionAndStartFailuresAreRetriedByTheWatchdog) {
  service->permitted = false;
  source->start();
  settle();
  EXPECT_EQ(source->state(), State::permissionRequired);
  EXPECT_EQ(recorder.count("Capture: Capture error: the desktop does not allow screen capture"), 1);
  tick();
  EXPECT_EQ(
      recorder.count("Capture: Target available again \u2014 restarting capture (test source)"), 1);
  EXPECT_EQ(recorder.count("Capture: Capture error: the desktop does not allow screen capture"), 2);

  // A stream that cannot start: the error state, then a fresh try on the next tick.
  service->permitted = true;
  const auto failing = std::make_error_code(std::errc::device_or_resource_busy);
  service->startError = failing;
  tick();
  EXPECT_EQ(source->state(), State::error);
  EXPECT_EQ(
      recorder.count("Capture: Capture error: could not start (test source): " + failing.message()),
      1);
  service->startError = {};
  tick();
  EXPECT_EQ(source->state(), State::capturing);
  EXPECT_EQ(service->streams.size(), 2u);
}

TEST_F(CaptureSourceTest, TheWatchdogFollowsTheTargetsHealth) {
  source->start();
  settle();
  const auto states = recorder.states().size();
  tick();  // healthy, stream present, nothing to change: capturing again, not published again
  EXPECT_EQ(recorder.states().size(), states);

  source->health = State::windowMinimized;
  tick();
  EXPECT_EQ(source->state(), State::windowMinimized);
  EXPECT_EQ(calls(0), std::vector<std::string>{"start"});  // the stream is kept

  source->health = State::capturing;
  tick();
  EXPECT_EQ(source->state(), State::capturing);

  source->health = State::windowUnavailable;
  tick();
  EXPECT_EQ(source->state(), State::windowUnavailable);
  EXPECT_EQ(calls(0), (std::vector<std::string>{"start", "stop"}));

  // Back again: every tick without a stream says so, even while a start is under way.
  source->health = State::capturing;
  control->advance(CaptureSource::watchdogInterval);  // launches a start, left unanswered
  control->advance(CaptureSource::watchdogInterval);
  const std::string again =
      "Capture: Target available again \u2014 restarting capture (test source)";
  EXPECT_EQ(recorder.count(again), 2);
  EXPECT_EQ(service->streams.size(), 2u);
  settle();
  EXPECT_EQ(source->state(), State::capturing);
  EXPECT_EQ(recorder.count("Capture: Capture started (test source, surface 64x48)"), 2);
}

TEST_F(CaptureSourceTest, AStreamTheServiceStopsIsRestartedOnceTheTargetIsHealthy) {
  source->start();
  settle();
  const auto failure = std::make_error_code(std::errc::no_such_device);
  source->health = State::windowUnavailable;
  stream(0)->failWith(failure);
  settle();
  EXPECT_EQ(
      recorder.count("Capture: Capture error: stream stopped (test source): " + failure.message()),
      1);
  EXPECT_EQ(source->state(), State::windowUnavailable);
  EXPECT_EQ(calls(0), std::vector<std::string>{"start"});  // not stopped a second time
  tick();
  EXPECT_EQ(service->streams.size(), 1u);

  source->health = State::capturing;
  tick();
  EXPECT_EQ(source->state(), State::capturing);
  EXPECT_EQ(service->streams.size(), 2u);

  // A late word from the old stream changes nothing.
  stream(0)->failWith(failure);
  settle();
  EXPECT_EQ(source->state(), State::capturing);
}

TEST_F(CaptureSourceTest, ARestartReconfiguresTheLiveStreamWithoutAStateChange) {
  source->start();
  settle();
  const auto states = recorder.states();
  source->setup->configuration.width = 80;
  source->restart = true;
  tick();
  EXPECT_EQ(calls(0), (std::vector<std::string>{"start", "updateConfiguration", "updateFilter"}));
  EXPECT_EQ(stream(0)->configuration.width, 80);
  EXPECT_EQ(recorder.count("Capture: Capture surface resized to 80x48 (test source)"), 1);
  EXPECT_EQ(recorder.states(), states);

  const auto failure = std::make_error_code(std::errc::invalid_argument);
  stream(0)->updateError = failure;
  source->restart = true;
  tick();
  EXPECT_EQ(recorder.count("Capture: Capture error: reconfigure failed: " + failure.message()), 1);
  EXPECT_EQ(source->state(), State::capturing);
}

TEST_F(CaptureSourceTest, PicturesBecomeJpegsOnlyWhileRunningAndLetThroughTheGate) {
  std::atomic<bool> open{false};
  source->frameGate = [&] { return open.load(); };
  source->start();
  settle();
  auto deliver = [&](const CaptureSample& sample) {
    ASSERT_TRUE(stream(0)->emit(sample));
    frames.sync([] {});
  };
  deliver(testing::solidSample(64, 48));
  EXPECT_EQ(source->crops, 0);  // refused before any work on the picture
  EXPECT_TRUE(recorder.frames().empty());

  open = true;
  deliver(testing::solidSample(64, 48));
  deliver(testing::solidSample(64, 48));
  auto incomplete = testing::solidSample(64, 64);
  incomplete.status = FrameStatus::idle;
  deliver(incomplete);
  ASSERT_EQ(recorder.frames().size(), 2u);
  EXPECT_EQ(recorder.sizes(), (std::vector<PixelSize>{{32, 24}}));  // told once, down-scaled
  EXPECT_EQ(source->sourceSize(), (PixelSize{32, 24}));

  const auto& jpeg = *recorder.frames().front().jpeg;
  tjhandle decoder = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  ASSERT_EQ(tjDecompressHeader3(decoder, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                                &colourspace),
            0);
  tjDestroy(decoder);
  EXPECT_EQ(width, 32);
  EXPECT_EQ(height, 24);

  source->stop();
  settle();
  stream(0)->output(testing::solidSample(64, 48));  // a straggler after the stop
  EXPECT_EQ(recorder.frames().size(), 2u);
}

}  // namespace
}  // namespace tavelin
