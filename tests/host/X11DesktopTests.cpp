// The X11 window server, application registry and window control on a real (virtual) desktop
// with openbox and xterm windows.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cmath>
#include <cstring>

#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/MinimiseWindow.hpp"
#include "tests/support/WaitForWindow.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

class X11DesktopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = new testing::XvfbDesktop("1920x1080");
    connection = x11::Connection::open(desktop->display());
  }
  static void TearDownTestSuite() {
    connection.reset();
    delete desktop;
  }
  void SetUp() override { ASSERT_TRUE(connection) << "no X connection to " << desktop->display(); }

  // An xterm with a known class and title; waits until the window manager shows it.
  std::pair<pid_t, LiveWindow> openXterm(const std::string& title, const std::string& geometry) {
    const pid_t pid = desktop->run(
        {"xterm", "-class", "XTerm", "-title", title, "-geometry", geometry, "-e", "sleep", "120"});
    const auto found = testing::waitForWindow(server, title);
    EXPECT_TRUE(found) << "no window titled \"" << title << "\" appeared";
    return {pid, found.value_or(LiveWindow{})};
  }

  static testing::XvfbDesktop* desktop;
  static std::shared_ptr<x11::Connection> connection;
  x11::X11WindowServer server{connection};
  x11::X11ApplicationRegistry registry{connection};
  x11::X11WindowControl control{connection};
};

testing::XvfbDesktop* X11DesktopTest::desktop = nullptr;
std::shared_ptr<x11::Connection> X11DesktopTest::connection;

TEST_F(X11DesktopTest, ListsXtermWindowsWithClassTitleProcessAndFrame) {
  const auto opened = openXterm("Grüße build log", "80x24+200+150");
  const pid_t pid = opened.first;
  const LiveWindow window = opened.second;
  if (window.windowID == 0) return;
  EXPECT_EQ(window.ownerName, "XTerm");
  EXPECT_EQ(window.ownerProcessID, pid);
  EXPECT_EQ(window.layer, 0);
  EXPECT_TRUE(window.isOnScreen);
  // openbox adds a frame: the bounds hold the client and its decorations.
  EXPECT_GT(window.bounds.width, 400);
  EXPECT_GT(window.bounds.height, 300);
  EXPECT_EQ(registry.bundleIdentifier(pid), "XTerm");
  EXPECT_EQ(registry.bundleIdentifier(1), std::nullopt);
  const auto again = server.window(window.windowID);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->name, "Grüße build log");
  EXPECT_EQ(server.window(0x7FFFFFFF), std::nullopt);

  // The portal rules over the real desktop: the window resolves by its remembered identity.
  auto cache = std::make_shared<RunningApplicationCache>(
      std::make_shared<x11::X11ApplicationRegistry>(connection));
  WindowResolver resolver(std::make_shared<x11::X11WindowServer>(connection), cache, {});
  const auto resolution = resolver.resolve({"XTerm", "XTerm", "Grüße build log", pid, 0, 0, 0});
  ASSERT_TRUE(std::holds_alternative<WindowResolution::Found>(resolution.value));
  EXPECT_EQ(std::get<WindowResolution::Found>(resolution.value).windowID, window.windowID);
}

TEST_F(X11DesktopTest, AMinimisedWindowIsOffScreenButStillKnown) {
  const auto opened = openXterm("to minimise", "60x10+50+50");
  const pid_t pid = opened.first;
  const LiveWindow window = opened.second;
  if (window.windowID == 0) return;
  testing::minimiseWindow(*connection, window.windowID);
  EXPECT_TRUE(eventually([&] {
    return server.window(window.windowID) && !server.window(window.windowID)->isOnScreen;
  }));
  for (const auto& shown : server.onScreenWindows()) EXPECT_NE(shown.windowID, window.windowID);

  // Raising brings it back.
  EXPECT_TRUE(registry.activate(pid));
  EXPECT_TRUE(eventually([&] {
    const auto raised = server.window(window.windowID);
    return raised && raised->isOnScreen;
  }));
}

TEST_F(X11DesktopTest, MovesWindowsAndReportsTheMainDisplay) {
  const auto opened = openXterm("to move", "60x10+300+300");
  const pid_t pid = opened.first;
  const LiveWindow window = opened.second;
  if (window.windowID == 0) return;
  const auto windows = control.windows(pid);
  ASSERT_TRUE(windows && windows->size() == 1);
  EXPECT_EQ((*windows)[0].title, "to move");
  // Static gravity: the client window lands at the point (inside its X border), its frame
  // around it, so the frame's top is the title bar's height above the point.
  ASSERT_TRUE(control.setPosition(window.windowID, {600, 400}));
  EXPECT_TRUE(eventually([&] {
    const auto moved = server.window(window.windowID);
    return moved && std::abs(moved->bounds.x - 600) <= 4 && moved->bounds.y < 400 &&
           moved->bounds.y > 360;
  })) << server.window(window.windowID).value_or(LiveWindow{}).bounds.description();

  const auto displays = server.displays();
  ASSERT_FALSE(displays.empty());
  EXPECT_TRUE(displays.front().isMain);
  EXPECT_EQ(displays.front().bounds, (ScreenRect{0, 0, 1920, 1080}));
  EXPECT_EQ(
      DisplayManager::displayContaining(DisplayManager::displays(server), {100, 100, 50, 50})->id,
      displays.front().displayID);
}

TEST(X11Text, OldClientsTitlesDecodeToUTF8) {
  // As xterm sets WM_NAME: Latin-1, with a UTF-8 segment between ESC % G and ESC % @.
  EXPECT_EQ(x11::decodeCompoundText("Gr\xfc\xdf"
                                    "e \x1b%G\xe2\x9c\x93\x1b%@ xterm"),
            "Grüße ✓ xterm");
  EXPECT_EQ(x11::latin1ToUTF8("caf\xe9"), "café");
  EXPECT_EQ(x11::decodeCompoundText("plain"), "plain");
}

}  // namespace
}  // namespace tavelin
