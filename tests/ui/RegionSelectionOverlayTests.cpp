// The region overlays on a private X desktop split into two screens side by side, with a white
// terminal on each so that dimming shows: real windows, a real keyboard grab, pictures of what
// the screens actually show.
#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "TavelinHost/Platform/X11/X11Connection.hpp"
#include "TavelinHost/Platform/X11/X11VirtualDisplay.hpp"
#include "TavelinHost/RegionSelectionOverlay/RegionSelectionOverlay.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace tavelin {
namespace {

const QRect leftScreen(0, 0, 1920, 1080);
const QRect rightScreen(1920, 0, 1920, 1080);

// A second X connection for what Qt cannot do: define RandR monitors before Qt reads them, and
// type on the real keyboard.
class XControl {
 public:
  explicit XControl(std::shared_ptr<x11::Connection> x) : x_(std::move(x)) {}

  // The one output becomes the primary left monitor; the right half is a monitor of its own.
  // Monitors are named by atoms; the predefined PRIMARY and SECONDARY need no interning.
  bool splitScreen() {
    xcb_connection_t* c = x_->get();
    auto resources = x11::own(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, x_->root()), nullptr));
    if (!resources || xcb_randr_get_screen_resources_current_outputs_length(resources.get()) < 1)
      return false;
    const xcb_randr_output_t output =
        xcb_randr_get_screen_resources_current_outputs(resources.get())[0];
    return x11::setMonitor(*x_, monitor(XCB_ATOM_PRIMARY, leftScreen, true), {output}) &&
           x11::setMonitor(*x_, monitor(XCB_ATOM_SECONDARY, rightScreen, false));
  }

  // Presses and releases a key by its keycode, as the user would.
  bool typeKey(std::uint8_t keycode) {
    xcb_connection_t* c = x_->get();
    for (std::uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
      auto error = x11::own(xcb_request_check(
          c, xcb_test_fake_input_checked(c, type, keycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0)));
      if (error) return false;
    }
    return true;
  }

 private:
  static xcb_randr_monitor_info_t monitor(xcb_atom_t name, QRect area, bool primary) {
    xcb_randr_monitor_info_t info{};
    info.name = name;
    info.primary = primary ? 1 : 0;
    info.x = static_cast<std::int16_t>(area.x());
    info.y = static_cast<std::int16_t>(area.y());
    info.width = static_cast<std::uint16_t>(area.width());
    info.height = static_cast<std::uint16_t>(area.height());
    info.width_in_millimeters = 508;
    info.height_in_millimeters = 286;
    return info;
  }

  std::shared_ptr<x11::Connection> x_;
};

std::unique_ptr<XControl> xControl;

// What the X server shows at a global point, as grey 0…255.
int brightnessAt(QPoint global) {
  QScreen* screen = QGuiApplication::screenAt(global);
  if (screen == nullptr) return -1;
  const QPoint local = global - screen->geometry().topLeft();
  return qGray(screen->grabWindow(0, local.x(), local.y(), 1, 1).toImage().pixel(0, 0));
}

QImage desktopPicture() {
  QImage picture(leftScreen.united(rightScreen).size(), QImage::Format_RGB32);
  QPainter painter(&picture);
  for (QScreen* screen : QGuiApplication::screens()) {
    painter.drawPixmap(screen->geometry().topLeft(), screen->grabWindow(0));
  }
  return picture;
}

bool savePicture(const QImage& picture, const char* name) {
  return QDir().mkpath(TAVELIN_SCREENSHOTS) &&
         picture.save(QStringLiteral(TAVELIN_SCREENSHOTS "/") + QLatin1String(name), "PNG");
}

void sendMouse(QWidget* window, QEvent::Type type, QPointF global, Qt::MouseButtons buttons) {
  QMouseEvent event(type, global - window->geometry().topLeft(), global, Qt::LeftButton, buttons,
                    Qt::NoModifier);
  QApplication::sendEvent(window, &event);
}

// Pressed in `window`, which keeps the pointer for the whole drag as X grabs it there.
void drag(QWidget* window, QPointF from, QPointF to, bool release = true) {
  sendMouse(window, QEvent::MouseButtonPress, from, Qt::LeftButton);
  sendMouse(window, QEvent::MouseMove, (from + to) / 2, Qt::LeftButton);
  sendMouse(window, QEvent::MouseMove, to, Qt::LeftButton);
  if (release) sendMouse(window, QEvent::MouseButtonRelease, to, Qt::NoButton);
}

TEST(SelectionGeometryTest, RoundsTheCornersAndDropsSmallOrIncompleteDrags) {
  using Point = std::optional<QPointF>;
  const struct {
    Point anchor, current;
    std::optional<ScreenRect> expected;
  } cases[] = {
      {QPointF(10.4, 20.6), QPointF(110.5, 70.49), ScreenRect{10, 21, 101, 49}},
      {QPointF(110.5, 70.49), QPointF(10.4, 20.6), ScreenRect{10, 21, 101, 49}},  // reversed
      {QPointF(110.5, 20.6), QPointF(10.4, 70.49), ScreenRect{10, 21, 101, 49}},  // other diagonal
      {QPointF(-10.5, -20.5), QPointF(-0.4, 5), ScreenRect{-11, -21, 11, 26}},    // left of main
      {QPointF(0, 0), QPointF(8, 8), ScreenRect{0, 0, 8, 8}},                     // just enough
      {QPointF(0, 0), QPointF(7.6, 7.6), ScreenRect{0, 0, 8, 8}},  // rounds up to enough
      {QPointF(0.5, 0), QPointF(8.4, 50), std::nullopt},           // 7.9 wide: 7 once rounded
      {QPointF(0, 0), QPointF(100, 7), std::nullopt},
      {QPointF(3, 3), QPointF(3, 3), std::nullopt},
      {std::nullopt, QPointF(100, 100), std::nullopt},
      {QPointF(0, 0), std::nullopt, std::nullopt},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(SelectionGeometry::selection(cases[i].anchor, cases[i].current), cases[i].expected);
  }
}

class RegionSelectionOverlayTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(QGuiApplication::screens().size(), 2); }
  void TearDown() override {
    while (RegionSelectionOverlay* left = RegionSelectionOverlay::current()) left->cancel();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // Presents an overlay that records its outcome and waits until its windows are on screen.
  std::vector<QPointer<QWidget>> present() {
    RegionSelectionOverlay::present([this](std::optional<ScreenRect> rect) {
      ++calls;
      result = rect;
    });
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* window : RegionSelectionOverlay::current()->windows()) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
      windows.emplace_back(window);
    }
    return windows;
  }

  static bool gone(const std::vector<QPointer<QWidget>>& windows) {
    return QTest::qWaitFor([&] {
      return std::all_of(windows.begin(), windows.end(), [](auto& w) { return w.isNull(); });
    });
  }

  int calls = 0;
  std::optional<ScreenRect> result;
};

TEST_F(RegionSelectionOverlayTest, CoversEachScreenAndEscapeOnTheKeyboardCancels) {
  const auto windows = present();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0]->geometry(), leftScreen);
  EXPECT_EQ(windows[1]->geometry(), rightScreen);
  EXPECT_EQ(QWidget::keyboardGrabber(), windows[0]);
  for (const auto& window : windows) EXPECT_EQ(window->cursor().shape(), Qt::CrossCursor);

  ASSERT_TRUE(xControl->typeKey(9));  // Escape
  ASSERT_TRUE(QTest::qWaitFor([&] { return calls > 0; }));
  EXPECT_EQ(result, std::nullopt);
  EXPECT_TRUE(gone(windows));
  EXPECT_EQ(RegionSelectionOverlay::current(), nullptr);
  EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
  EXPECT_EQ(calls, 1);
}

TEST_F(RegionSelectionOverlayTest, EndsWithNothingWithoutAProperDrag) {
  const struct {
    const char* name;
    QPointF from, to;
  } cases[] = {
      {"click", {500, 500}, {500, 500}},
      {"5 x 5", {500, 500}, {505, 505}},
      {"wide but flat", {100, 500}, {1500, 507.4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    calls = 0;
    result = ScreenRect{};
    const auto windows = present();
    drag(windows[0], c.from, c.to);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(result, std::nullopt);
    EXPECT_TRUE(gone(windows));
  }
}

TEST_F(RegionSelectionOverlayTest, PresentingAgainEndsTheFirstWithNothingAndKeepsTheSecond) {
  const auto first = present();
  int secondCalls = 0;
  RegionSelectionOverlay::present([&](std::optional<ScreenRect> rect) {
    ++secondCalls;
    EXPECT_EQ(rect, (ScreenRect{100, 100, 50, 40}));
    // A completion may start the next selection straight away.
    RegionSelectionOverlay::present([&](std::optional<ScreenRect>) { ++secondCalls; });
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(result, std::nullopt);
  EXPECT_TRUE(gone(first));

  ASSERT_NE(RegionSelectionOverlay::current(), nullptr);
  drag(RegionSelectionOverlay::current()->windows()[0], {100, 100}, {150, 140});
  EXPECT_EQ(secondCalls, 1);
  ASSERT_NE(RegionSelectionOverlay::current(), nullptr);
  RegionSelectionOverlay::current()->cancel();
  EXPECT_EQ(secondCalls, 2);
  EXPECT_EQ(calls, 1);
}

TEST_F(RegionSelectionOverlayTest, ShowsTheHintThenOneSelectionUndimmedAcrossBothScreens) {
  const QImage before = desktopPicture();
  const auto dimmed = [&](QPoint p) { return brightnessAt(p) < qGray(before.pixel(p)) * 3 / 5; };
  const auto clear = [&](QPoint p) {
    return std::abs(brightnessAt(p) - qGray(before.pixel(p))) < 8;
  };
  // Padding under the hint's text, in the middle of each screen.
  const QPoint hints[] = {{960, 96}, {1920 + 960, 96}};

  const auto windows = present();
  ASSERT_TRUE(QTest::qWaitFor([&] { return dimmed({700, 600}) && dimmed({2500, 600}); }));
  for (QPoint hint : hints) EXPECT_LT(brightnessAt(hint), 60) << hint.x();
  EXPECT_TRUE(savePicture(desktopPicture(), "overlay-hint.png"));

  drag(windows[0], {1500.4, 400.6}, {2400.5, 700.4}, false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return clear({1600, 500}) && clear({2300, 650}); }));
  EXPECT_TRUE(dimmed({1400, 500}));  // beside the selection on the left
  EXPECT_TRUE(dimmed({2500, 500}));  // and on the right
  EXPECT_TRUE(dimmed({1600, 750}));  // below it
  for (QPoint hint : hints) EXPECT_TRUE(dimmed(hint)) << hint.x();
  EXPECT_LT(brightnessAt({1503, 385}), 60);  // the size badge just above the top-left corner
  EXPECT_TRUE(savePicture(desktopPicture(), "overlay-mid-drag.png"));

  // One rectangle in global points, its corners rounded, although it spans two windows.
  sendMouse(windows[0], QEvent::MouseButtonRelease, {2400.5, 700.4}, Qt::NoButton);
  EXPECT_EQ(result, (ScreenRect{1500, 401, 901, 299}));
  EXPECT_TRUE(gone(windows));
}

TEST(RegionBorderOverlayTest, FramesTheRegionFromOutsideWithoutTakingInput) {
  RegionBorderOverlay border;
  EXPECT_EQ(border.window(), nullptr);
  border.show({400, 300, 320, 200});
  QWidget* window = border.window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->geometry(), QRect(398, 298, 324, 204));
  for (QPoint ring : {QPoint(0, 0), QPoint(1, 1), QPoint(323, 203), QPoint(1, 100)}) {
    EXPECT_TRUE(window->mask().contains(ring)) << ring.x() << "," << ring.y();
  }
  for (QPoint inside : {QPoint(2, 2), QPoint(160, 100), QPoint(321, 201)}) {
    EXPECT_FALSE(window->mask().contains(inside)) << inside.x() << "," << inside.y();
  }
  EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowTransparentForInput));
  EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));

  ASSERT_TRUE(QTest::qWaitFor([&] { return brightnessAt({398, 400}) < 200; }));
  const QColor frame = QImage(desktopPicture()).pixelColor(399, 400);
  EXPECT_GT(frame.blue(), frame.red());
  EXPECT_GT(brightnessAt({400, 400}), 240);  // the region itself is untouched
  EXPECT_NE(QGuiApplication::focusWindow(), window->windowHandle());
  EXPECT_TRUE(savePicture(desktopPicture().copy(350, 250, 420, 300), "overlay-border.png"));

  border.show({600.4, 500, 100, 50});  // moves and reshapes the same window
  EXPECT_EQ(border.window(), window);
  EXPECT_EQ(window->geometry(), QRect(598, 498, 104, 54));
  EXPECT_TRUE(window->mask().contains(QPoint(103, 53)));
  EXPECT_FALSE(window->mask().contains(QPoint(50, 25)));
  border.hide();
  EXPECT_FALSE(window->isVisible());
}

}  // namespace
}  // namespace tavelin

// Everything here runs on the GUI thread; the only other threads are Qt's own (the D-Bus
// connection every xcb application opens for accessibility, the X event reader, the pool that
// converts large images), which hand work over through Qt's futex-based locks that
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();

  tavelin::testing::XvfbDesktop desktop("3840x1080");
  auto connection = tavelin::x11::Connection::open(desktop.display());
  if (connection) tavelin::xControl = std::make_unique<tavelin::XControl>(connection);
  if (!tavelin::xControl || !tavelin::xControl->splitScreen()) {
    std::fprintf(stderr, "cannot split the private desktop into two screens\n");
    return 1;
  }
  for (const char* origin : {"+40+40", "+1960+40"}) {
    desktop.run({"xterm", "-bg", "white", "-geometry", std::string("300x75") + origin});
  }
  ::setenv("DISPLAY", desktop.display().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  // The private desktop has no session bus, and Qt must not autolaunch one that outlives it.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  int status = 1;
  {
    QApplication application(argc, argv);
    // Both terminals are up once the middle of each screen is white.
    if (QTest::qWaitFor(
            [] {
              return tavelin::brightnessAt({960, 540}) > 240 &&
                     tavelin::brightnessAt({2880, 540}) > 240;
            },
            10000)) {
      status = RUN_ALL_TESTS();
    } else {
      std::fprintf(stderr, "the terminals did not appear\n");
    }
  }
  tavelin::xControl.reset();
  return status;
}
