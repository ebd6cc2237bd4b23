// Capture sources of every kind over real xterm windows on a private Xvfb desktop with openbox:
// JPEG pictures of the right size and content, and a window followed through minimising,
// closing and relaunching.
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <xcb/xcb.h>

#include <cmath>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinKit/Model/CoordinateMath.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/MinimiseWindow.hpp"
#include "tests/support/WaitForWindow.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using State = PortalCaptureState;

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  // The mean colour of a rectangle, per channel.
  std::array<double, 3> mean(int x, int y, int w, int h) const {
    std::array<double, 3> sum{};
    for (int row = y; row < y + h; ++row) {
      for (int column = x; column < x + w; ++column) {
        const std::size_t at = (static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                                static_cast<std::size_t>(column)) *
                               3;
        for (int c = 0; c < 3; ++c)
          sum[static_cast<std::size_t>(c)] += rgb[at + static_cast<std::size_t>(c)];
      }
    }
    for (auto& channel : sum) channel /= static_cast<double>(w) * h;
    return sum;
  }
};

std::optional<Picture> decode(const Bytes& jpeg) {
  tjhandle decoder = tjInitDecompress();
  Picture picture;
  int subsampling = 0, colourspace = 0;
  bool ok = tjDecompressHeader3(decoder, jpeg.data(), jpeg.size(), &picture.width, &picture.height,
                                &subsampling, &colourspace) == 0;
  if (ok) {
    picture.rgb.resize(static_cast<std::size_t>(picture.width) *
                       static_cast<std::size_t>(picture.height) * 3);
    ok = tjDecompress2(decoder, jpeg.data(), jpeg.size(), picture.rgb.data(), picture.width, 0,
                       picture.height, TJPF_RGB, 0) == 0;
  }
  tjDestroy(decoder);
  return ok ? std::optional(picture) : std::nullopt;
}

class PortalSourceX11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = new testing::XvfbDesktop("1280x800");
    connection = x11::Connection::open(desktop->display());
  }
  static void TearDownTestSuite() {
    connection.reset();
    delete desktop;
  }
  void SetUp() override { ASSERT_TRUE(connection && service->isAvailable()); }
  void TearDown() override {
    for (auto& source : sources) source->stop();
    for (pid_t pid : programs) testing::XvfbDesktop::stop(pid);
  }

  // An xterm of its own class whose top-left quarter is a red block, with a ticking counter on
  // the line below so that its picture keeps changing.
  LiveWindow openXterm(const std::string& windowClass, const std::string& geometry) {
    const std::string script =
        "for i in 1 2 3 4 5 6 7 8 9 10 11; do printf '\\033[41m%40s\\033[0m\\n' ''; done; "
        "while :; do printf '\\r%s' $(date +%N); sleep 0.05; done";
    programs.push_back(desktop->run({"xterm", "-class", windowClass, "-title", windowClass,
                                     "-geometry", geometry, "-e", "sh", "-c", script}));
    const auto found = testing::waitForWindow(*windows, windowClass);
    EXPECT_TRUE(found) << "no window titled \"" << windowClass << "\" appeared";
    return found.value_or(LiveWindow{});
  }
  WindowTarget targetOf(const LiveWindow& window, const std::string& windowClass) {
    return {windowClass,
            windowClass,
            windowClass,
            window.ownerProcessID,
            window.windowID,
            window.contentBounds.width,
            window.contentBounds.height};
  }

  PortalSource make(PortalPayload payload) {
    PortalSourceFactory factory(service, windows, resolver, recorder.log(), [] {
      PictureSettings settings;
      settings.targetFps = 30;
      settings.jpegQuality = 0.9;
      return settings;
    });
    auto made = factory.make(Portal{Uuid(), "test", {}, std::move(payload)});
    recorder.attach(*made.source);
    sources.push_back(made.source);
    return made;
  }
  // The next frame of that size after the ones seen so far.
  std::optional<Picture> nextPicture(const PixelSize& size) {
    const std::size_t seen = recorder.frames().size();
    if (!recorder.waitUntil([&](const auto& now) {
          return now.frames.size() > seen && now.frames.back().size == size;
        })) {
      return std::nullopt;
    }
    return decode(*recorder.frames().back().jpeg);
  }

  static testing::XvfbDesktop* desktop;
  static std::shared_ptr<x11::Connection> connection;
  std::shared_ptr<x11::X11CaptureService> service =
      std::make_shared<x11::X11CaptureService>(desktop->display());
  std::shared_ptr<x11::X11WindowServer> windows =
      std::make_shared<x11::X11WindowServer>(connection);
  std::shared_ptr<WindowResolver> resolver = std::make_shared<WindowResolver>(
      windows,
      std::make_shared<RunningApplicationCache>(
          std::make_shared<x11::X11ApplicationRegistry>(connection)),
      HostLogSink{});
  testing::CaptureRecorder recorder;
  std::vector<std::shared_ptr<PortalCaptureSource>> sources;
  std::vector<pid_t> programs;
};

testing::XvfbDesktop* PortalSourceX11Test::desktop = nullptr;
std::shared_ptr<x11::Connection> PortalSourceX11Test::connection;

bool reddish(const std::array<double, 3>& colour) {
  return colour[0] > 150 && colour[1] < 80 && colour[2] < 80;
}

TEST_F(PortalSourceX11Test, EveryKindMakesJpegsOfItsSizeAndARegionIsItsWindowsPixels) {
  const LiveWindow xterm = openXterm("TavelinKinds", "80x24+100+60");
  const ScreenRect content = xterm.contentBounds;
  ASSERT_GT(content.width, 200);

  auto screen = make(ScreenRegionPortalData{{content.x, content.y, 200, 100}, 0, true}).source;
  screen->start();
  const auto screenPicture = nextPicture({200, 100});
  ASSERT_TRUE(screenPicture);
  EXPECT_TRUE(reddish(screenPicture->mean(20, 20, 100, 40)));  // the xterm's red block
  screen->stop();

  const PixelSize whole{static_cast<std::int64_t>(content.width),
                        static_cast<std::int64_t>(content.height)};
  auto window = make(WindowPortalData{targetOf(xterm, "TavelinKinds"), {}}).source;
  window->start();
  const auto windowPicture = nextPicture(whole);
  ASSERT_TRUE(windowPicture);
  EXPECT_EQ(window->state(), State::capturing);
  window->stop();

  // A quarter of the window, from its middle: exactly those pixels of the window's picture.
  const NormalizedRect region{0.25, 0.25, 0.5, 0.5};
  const PixelRect crop = region.toPixel(whole);
  auto part = make(WindowRegionPortalData{targetOf(xterm, "TavelinKinds"), region, crop,
                                          RegionResizeBehavior::scaleWithWindow})
                  .source;
  part->start();
  const auto partPicture = nextPicture(crop.size());
  ASSERT_TRUE(partPicture);
  // Compare the top rows (the red block's edge runs through them; the counter does not).
  const int rows = static_cast<int>(crop.height) / 3;
  for (int y = 0; y < rows; y += 8) {
    for (int x = 0; x + 8 <= crop.width; x += 8) {
      const auto inPart = partPicture->mean(x, y, 8, 8);
      const auto inWindow =
          windowPicture->mean(static_cast<int>(crop.x) + x, static_cast<int>(crop.y) + y, 8, 8);
      for (std::size_t c = 0; c < 3; ++c) {
        ASSERT_NEAR(inPart[c], inWindow[c], 24) << "block at " << x << "," << y;
      }
    }
  }
}

TEST_F(PortalSourceX11Test, AWindowIsFollowedThroughMinimisingClosingAndRelaunching) {
  const LiveWindow first = openXterm("TavelinFollow", "60x12+300+300");
  auto source = make(WindowPortalData{targetOf(first, "TavelinFollow"), {}}).source;
  source->start();
  ASSERT_TRUE(recorder.waitUntil([](const auto& seen) { return !seen.frames.empty(); }));

  testing::minimiseWindow(*connection, first.windowID);
  EXPECT_TRUE(eventually([&] { return source->state() == State::windowMinimized; }, 5s));

  testing::XvfbDesktop::stop(programs.back());
  programs.pop_back();
  EXPECT_TRUE(eventually([&] { return source->state() == State::windowUnavailable; }, 5s));

  // The server hands a new client the lowest free resource IDs, so a relaunch right away would
  // get the old window number back; another client takes those first.
  const auto slotTaker = x11::Connection::open(desktop->display());
  recorder.clear();
  const LiveWindow second = openXterm("TavelinFollow", "50x10+40+40");
  ASSERT_NE(second.windowID, first.windowID);
  EXPECT_TRUE(recorder.waitUntil([](const auto& seen) {
    return seen.logged("Capture: Window reconnected (window TavelinFollow \u2014 TavelinFollow)") &&
           !seen.frames.empty();
  }));
  EXPECT_EQ(source->state(), State::capturing);
  EXPECT_EQ(source->targetWindowID(), second.windowID);
  EXPECT_EQ(recorder.frames().back().size,
            (PixelSize{static_cast<std::int64_t>(second.contentBounds.width),
                       static_cast<std::int64_t>(second.contentBounds.height)}));
}

}  // namespace
}  // namespace tavelin
