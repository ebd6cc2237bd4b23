#include <gtest/gtest.h>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/support/FakeCaptureService.hpp"
#include "tests/support/FakePlatform.hpp"
#include "tests/support/ManualTimerQueue.hpp"

namespace tavelin {
namespace {

using State = PortalCaptureState;

// Two displays side by side, an xterm on the first, and the host itself; the capture service
// lists the same desktop.
class PortalSourcesTest : public ::testing::Test {
 protected:
  PortalSourcesTest() {
    desktop->screens = {{1, {0, 0, 1920, 1080}, 1, true}, {2, {1920, 0, 1280, 1024}, 2, false}};
    registry->identifiers = {{11, "XTerm"}};
    setWindows({{200, 11, 0, {100, 100, 640, 480}, "build", "xterm", true, {}}});
  }

  void setWindows(std::vector<LiveWindow> windows) {
    desktop->windows = windows;
    ShareableContent content;
    for (const auto& screen : desktop->screens)
      content.displays.push_back({screen.displayID, screen.bounds});
    for (const auto& window : windows) {
      content.windows.push_back(
          {window.windowID, window.name, window.bounds, window.layer, window.isOnScreen,
           ShareableApplication{window.ownerName, "", window.ownerProcessID}});
    }
    content.applications = {{"xterm", "XTerm", 11}, {"tavelin", "", desktop->ownPID}};
    service->content = content;
  }

  PortalSourceFactory factory(int fps = 30) {
    return PortalSourceFactory(
        service, desktop, resolver, recorder.log(),
        [fps] {
          PictureSettings settings;
          settings.targetFps = fps;
          return settings;
        },
        [this] {
          return CaptureQueues{control, std::nullopt};
        });
  }
  PortalSource make(PortalPayload payload, int fps = 30) {
    auto made = factory(fps).make(Portal{Uuid(), "test", {}, std::move(payload)});
    recorder.attach(*made.source);
    return made;
  }
  void tick() { control->advance(CaptureSource::watchdogInterval); }
  std::shared_ptr<testing::FakeCaptureStream> lastStream() {
    return service->streams.empty() ? nullptr : service->streams.back();
  }

  std::shared_ptr<testing::FakeWindowServer> desktop =
      std::make_shared<testing::FakeWindowServer>();
  std::shared_ptr<testing::FakeApplicationRegistry> registry =
      std::make_shared<testing::FakeApplicationRegistry>();
  std::shared_ptr<testing::FakeCaptureService> service =
      std::make_shared<testing::FakeCaptureService>();
  std::shared_ptr<testing::ManualTimerQueue> control =
      std::make_shared<testing::ManualTimerQueue>();
  testing::CaptureRecorder recorder;
  std::shared_ptr<WindowResolver> resolver = std::make_shared<WindowResolver>(
      desktop, std::make_shared<RunningApplicationCache>(registry), recorder.log());
  const WindowTarget xterm{"XTerm", "xterm", "build", 11, 200, 640, 480};
};

TEST_F(PortalSourcesTest, AScreenRegionIsCapturedOnTheDisplayItOverlapsMost) {
  service->streamCompletions = control;
  // 120 points on the first display, 280 on the second (scale 2): the second wins.
  auto [source, mapper] = make(ScreenRegionPortalData{{1800, 100, 400, 300}, 0, true}, 0);
  EXPECT_EQ(source->descriptionText(), "screen region 400x300 @ 1800,100");
  service->pointPixelScale = 0;  // the display's own scale then counts
  source->start();
  control->runAll();
  EXPECT_EQ(source->state(), State::capturing);
  const auto stream = lastStream();
  ASSERT_TRUE(stream);
  const auto* display = std::get_if<DisplayContent>(&stream->filter.content);
  ASSERT_TRUE(display);
  EXPECT_EQ(display->displayID, 2u);
  EXPECT_EQ(display->excludedProcessIDs, std::vector<std::int32_t>{desktop->ownPID});
  EXPECT_EQ(stream->configuration.sourceRect, (ScreenRect{0, 100, 280, 300}));
  EXPECT_EQ(stream->configuration.width, 560);
  EXPECT_EQ(stream->configuration.height, 600);
  EXPECT_EQ(stream->configuration.minimumFrameInterval, std::chrono::seconds(1));  // 0 fps: 1
  EXPECT_TRUE(stream->configuration.showsCursor);
  EXPECT_EQ(stream->configuration.queueDepth, 3);
  EXPECT_EQ(mapper->mapToScreen({0, 0}), (ScreenPoint{1800, 100}));

  // The display grows: the next tick re-configures the live stream.
  desktop->screens[1].bounds.height = 1200;
  tick();
  EXPECT_EQ(stream->calls(),
            (std::vector<std::string>{"start", "updateConfiguration", "updateFilter"}));
  EXPECT_EQ(source->state(), State::capturing);
}

TEST_F(PortalSourcesTest, ARegionOffEveryDisplayHasNoSourceAndFpsIsClamped) {
  auto off = make(ScreenRegionPortalData{{5000, 5000, 100, 100}, 0, true}).source;
  off->start();
  control->runAll();
  EXPECT_EQ(off->state(), State::sourceUnavailable);
  EXPECT_TRUE(service->streams.empty());

  service->streamCompletions = control;
  auto fast = make(ScreenRegionPortalData{{0, 0, 100, 100}, 0, true}, 120).source;
  fast->start();
  control->runAll();
  ASSERT_TRUE(lastStream());
  EXPECT_EQ(lastStream()->configuration.minimumFrameInterval, std::chrono::microseconds(16666));
}

TEST_F(PortalSourcesTest, AWindowIsFollowedThroughResizesMinimisingClosingAndRelaunching) {
  service->streamCompletions = control;
  auto [source, mapper] = make(WindowPortalData{xterm, WindowCaptureMode::fullWindow});
  EXPECT_EQ(source->descriptionText(), "window xterm \u2014 build");
  source->start();
  control->runAll();
  ASSERT_EQ(source->state(), State::capturing);
  auto stream = lastStream();
  EXPECT_EQ(std::get<WindowContent>(stream->filter.content).windowID, 200u);
  EXPECT_EQ(stream->configuration.width, 640);
  EXPECT_EQ(source->targetWindowID(), 200u);
  EXPECT_EQ(mapper->targetWindowID(), 200u);

  auto change = [&](auto edit) {
    auto windows = desktop->windows;
    edit(windows[0]);
    setWindows(windows);
    tick();
  };
  change([](LiveWindow& window) { window.bounds.width += 0.5; });  // under a point: nothing
  EXPECT_EQ(stream->calls(), std::vector<std::string>{"start"});
  change([](LiveWindow& window) { window.bounds.width += 0.5; });
  EXPECT_EQ(stream->calls().size(), 3u);                       // re-configured
  change([](LiveWindow& window) { window.bounds.x += 300; });  // a move needs nothing
  tick();
  EXPECT_EQ(stream->calls().size(), 3u);

  change([](LiveWindow& window) { window.isOnScreen = false; });
  EXPECT_EQ(source->state(), State::windowMinimized);
  EXPECT_EQ(mapper->mapToScreen({0.5, 0.5}), std::nullopt);  // no touches into a hidden window

  setWindows({});
  tick();
  EXPECT_EQ(source->state(), State::windowUnavailable);
  EXPECT_EQ(stream->calls().back(), "stop");

  // The application comes back with a new window: reconnected, captured again.
  setWindows({{321, 11, 0, {0, 0, 800, 600}, "build", "xterm", true, {}}});
  tick();
  EXPECT_EQ(recorder.count("Capture: Window reconnected (window xterm \u2014 build)"), 1);
  EXPECT_EQ(source->state(), State::capturing);
  EXPECT_EQ(std::get<WindowContent>(lastStream()->filter.content).windowID, 321u);
  EXPECT_EQ(mapper->targetWindowID(), 321u);
}

TEST_F(PortalSourcesTest, WindowScaleFallsBackToItsDisplayThenToTwo) {
  service->streamCompletions = control;
  service->pointPixelScale = 0;
  setWindows({{200, 11, 0, {2000, 100, 300, 200}, "build", "xterm", true, {}}});
  auto onSecond = make(WindowPortalData{xterm, WindowCaptureMode::fullWindow}).source;
  onSecond->start();
  control->runAll();
  EXPECT_EQ(lastStream()->configuration.width, 600);  // the second display's scale 2

  desktop->screens.clear();
  setWindows(desktop->windows);
  auto nowhere = make(WindowPortalData{xterm, WindowCaptureMode::fullWindow}).source;
  nowhere->start();
  control->runAll();
  EXPECT_EQ(lastStream()->configuration.width, 600);  // no display at all: 2
}

TEST_F(PortalSourcesTest, AWindowRegionCropsWhatItsMapperMapsAndReportsTheWindowBeforeAPicture) {
  service->streamCompletions = control;
  // The content lies inside a frame with a title bar; the mapper works in the content.
  setWindows({{200, 11, 0, {100, 80, 642, 506}, "build", "xterm", true, {101, 100, 640, 480}}});
  const NormalizedRect region{0.5, 0.5, 0.25, 0.25};
  auto [source, mapper] = make(WindowRegionPortalData{xterm, region, PixelRect{320, 240, 160, 120},
                                                      RegionResizeBehavior::keepPixelSize});
  EXPECT_EQ(source->descriptionText(), "window region window xterm \u2014 build");

  const auto geometry = source->geometryProvider()->currentGeometry();
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->captureBounds, (ScreenRect{101, 100, 640, 480}));
  EXPECT_EQ(geometry->surfaceSize, (PixelSize{640, 480}));  // never sampled: the bounds' size

  // A picture of the window grown to 1280x960: the kept-size region is cut out of it.
  source->frameGate = [] { return true; };
  source->start();
  control->runAll();
  ASSERT_TRUE(lastStream()->emit(testing::solidSample(1280, 960)));
  ASSERT_TRUE(recorder.waitUntil([](const auto& seen) { return !seen.frames.empty(); }));
  EXPECT_EQ(recorder.frames().front().size, (PixelSize{160, 120}));
  const auto* regionMapper = dynamic_cast<const WindowRegionCoordinateMapper*>(mapper.get());
  ASSERT_TRUE(regionMapper);
  EXPECT_EQ(regionMapper->resolveCropRect({1280, 960}), (PixelRect{320, 240, 160, 120}));
  EXPECT_EQ(source->geometryProvider()->currentGeometry()->surfaceSize, (PixelSize{1280, 960}));
  source->stop();
  control->runAll();
}

}  // namespace
}  // namespace tavelin
