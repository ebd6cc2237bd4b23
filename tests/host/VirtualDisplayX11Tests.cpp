// The virtual display on a private Xvfb desktop started wider than its one real monitor, as a
// server that cannot grow its framebuffer must be: the display appears among the displays, a
// window parked on it is captured while no output shows it, and one left behind by a crashed
// host is cleaned up.
#include <gtest/gtest.h>
#include <xcb/randr.h>

#include "TavelinHost/Capture/LiveDisplayPreview.hpp"
#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Capture/TavelinVirtualDisplay.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11VirtualDisplay.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/ManualExecutor.hpp"
#include "tests/support/WaitForWindow.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

// Makes the server's one output a 1920 x 1080 monitor on the left, as a real screen beside
// free framebuffer would be.
void showOnlyTheLeftHalf(x11::Connection& x) {
  xcb_connection_t* c = x.get();
  auto resources = x11::own(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, x.root()), nullptr));
  ASSERT_TRUE(resources);
  ASSERT_GT(xcb_randr_get_screen_resources_current_outputs_length(resources.get()), 0);
  const xcb_randr_output_t output =
      xcb_randr_get_screen_resources_current_outputs(resources.get())[0];
  xcb_randr_monitor_info_t monitor{};
  monitor.name = x.atom("PHYS-1");
  monitor.primary = 1;
  monitor.width = 1920;
  monitor.height = 1080;
  monitor.width_in_millimeters = 508;
  monitor.height_in_millimeters = 286;
  ASSERT_TRUE(x11::setMonitor(x, monitor, {output}));
  x.sync();
}

class VirtualDisplayX11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = new testing::XvfbDesktop("3840x1080");
    connection = x11::Connection::open(desktop->display());
    if (connection) showOnlyTheLeftHalf(*connection);
  }
  static void TearDownTestSuite() {
    connection.reset();
    delete desktop;
  }
  void SetUp() override { ASSERT_TRUE(connection); }

  int monitorsNamed(const std::string& name) {
    const auto atom = connection->atom(name);
    int count = 0;
    for (const auto& display : windows->displays()) count += display.displayID == atom ? 1 : 0;
    return count;
  }

  static testing::XvfbDesktop* desktop;
  static std::shared_ptr<x11::Connection> connection;
  std::shared_ptr<x11::X11WindowServer> windows =
      std::make_shared<x11::X11WindowServer>(connection);
  x11::X11VirtualDisplayPlatform platform{connection};
};

testing::XvfbDesktop* VirtualDisplayX11Test::desktop = nullptr;
std::shared_ptr<x11::Connection> VirtualDisplayX11Test::connection;

TEST_F(VirtualDisplayX11Test, AParkedWindowIsCapturedAndRemovalLeavesTheScreenAsItWas) {
  ASSERT_TRUE(platform.isSupported());
  auto display = TavelinVirtualDisplay::create(platform, 1920, 1080, "Tavelin");
  ASSERT_TRUE(display);
  EXPECT_EQ(display->displayID, connection->atom("Tavelin"));
  const auto listed =
      DisplayManager::displayFor(DisplayManager::displays(*windows), display->displayID);
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->bounds, (ScreenRect{1920, 0, 1920, 1080}));

  // An xterm that keeps printing, moved onto the virtual display.
  const pid_t xterm = desktop->run({"xterm", "-title", "Parked", "-geometry", "60x12+100+100", "-e",
                                    "sh", "-c", "while :; do date +%N; sleep 0.05; done"});
  const auto window = testing::waitForWindow(*windows, "Parked");
  ASSERT_TRUE(window);
  x11::X11WindowControl(connection).setPosition(window->windowID, {2100, 200});
  ASSERT_TRUE(testing::eventually([&] {
    const auto now = windows->window(window->windowID);
    return now && now->contentBounds.x >= 1920;
  }));
  const ScreenRect parked = windows->window(window->windowID)->contentBounds;

  testing::CaptureRecorder recorder;
  PortalSourceFactory factory(std::make_shared<x11::X11CaptureService>(desktop->display()), windows,
                              std::make_shared<WindowResolver>(windows, nullptr, HostLogSink{}),
                              recorder.log(), [] { return PictureSettings{}; });
  auto source = factory
                    .make(Portal{Uuid::random(),
                                 "parked",
                                 {},
                                 ScreenRegionPortalData{parked, display->displayID, false}})
                    .source;
  recorder.attach(*source);
  source->start();
  EXPECT_TRUE(recorder.waitUntil([](const auto& seen) { return !seen.frames.empty(); }));
  EXPECT_EQ(recorder.frames().front().size, (PixelSize{static_cast<std::int64_t>(parked.width),
                                                       static_cast<std::int64_t>(parked.height)}));
  source->stop();
  testing::XvfbDesktop::stop(xterm);

  display.reset();
  EXPECT_EQ(monitorsNamed("Tavelin"), 0);
  EXPECT_EQ(connection->screen().width_in_pixels, 3840);
}

TEST_F(VirtualDisplayX11Test, ADisplayLeftByACrashedHostIsRemovedAtTheNextStart) {
  // What a host that crashed leaves: its monitor, and the framebuffer size it meant to restore.
  xcb_randr_monitor_info_t leftover{};
  leftover.name = connection->atom("Tavelin");
  leftover.x = 1920;
  leftover.width = 800;
  leftover.height = 600;
  ASSERT_TRUE(x11::setMonitor(*connection, leftover));
  const std::uint32_t saved[] = {3840, 1080};
  xcb_change_property(connection->get(), XCB_PROP_MODE_REPLACE, connection->root(),
                      connection->atom("_TAVELIN_FRAMEBUFFER"), XCB_ATOM_CARDINAL, 32, 2, saved);
  connection->sync();
  ASSERT_EQ(monitorsNamed("Tavelin"), 1);

  auto display = TavelinVirtualDisplay::create(platform, 1920, 1080, "");
  ASSERT_TRUE(display);
  EXPECT_EQ(monitorsNamed("Tavelin"), 1);  // the new one only
  const auto listed =
      DisplayManager::displayFor(DisplayManager::displays(*windows), display->displayID);
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->bounds.width, 1920);
  EXPECT_FALSE(connection->cardinals(connection->root(), "_TAVELIN_FRAMEBUFFER").has_value());

  // Larger than the free area, on a server that cannot grow: nothing.
  display.reset();
  EXPECT_FALSE(TavelinVirtualDisplay::create(platform, 2560, 1440, "Tavelin"));
  EXPECT_EQ(monitorsNamed("Tavelin"), 0);
}

TEST_F(VirtualDisplayX11Test, ThePreviewDeliversScaledPicturesOfTheDisplay) {
  auto display = TavelinVirtualDisplay::create(platform, 1920, 1080, "Tavelin");
  ASSERT_TRUE(display);
  auto main = std::make_shared<testing::ManualExecutor>();
  auto preview = std::make_shared<LiveDisplayPreview>(
      std::make_shared<x11::X11CaptureService>(desktop->display()), main);
  std::vector<PixelSize> sizes;
  preview->onFrame = [&sizes](const LiveDisplayPreview::Image& image) {
    sizes.push_back(image.size);
    EXPECT_EQ(image.pixels->size(), static_cast<std::size_t>(image.stride * image.size.height));
  };
  preview->start(display->displayID, 12, 640);
  // The pointer crossing the display is a change the stream picks up.
  const pid_t xterm = desktop->run({"xterm", "-title", "Preview", "-geometry", "40x8+2000+100",
                                    "-e", "sh", "-c", "while :; do date +%N; sleep 0.05; done"});
  EXPECT_TRUE(testing::eventually(
      [&] {
        main->runAll();
        return !sizes.empty();
      },
      10s));
  preview->stop();
  testing::XvfbDesktop::stop(xterm);
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.front(), (PixelSize{640, 360}));
}

}  // namespace
}  // namespace tavelin
