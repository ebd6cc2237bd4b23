// Phones' input replayed on a private Xvfb desktop with openbox, received by an ordinary X
// client: taps, double clicks, drags, wheel clicks, text in any script, the special keys and
// the modifiers held around them; and Ctrl+C reaching a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Input/PortalInputController.hpp"
#include "TavelinHost/Platform/X11/X11Clipboard.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11EventPoster.hpp"
#include "tests/support/InputRecorderWindow.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/WaitForWindow.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Event = testing::InputRecorderWindow::Event;

InputMessage message(std::string type, double x = 0, double y = 0) {
  InputMessage m;
  m.type = std::move(type);
  m.x = x;
  m.y = y;
  return m;
}

// What the recorder saw, for failure messages.
std::string describe(const std::vector<Event>& events) {
  std::string text;
  for (const auto& e : events) {
    text += "\n  type " + std::to_string(e.type) + " detail " + std::to_string(e.detail) + " at " +
            std::to_string(e.x) + "," + std::to_string(e.y) + " state " + std::to_string(e.state) +
            " time " + std::to_string(e.time);
  }
  return text;
}

class InputX11Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = new testing::XvfbDesktop("1280x800");
    connection = x11::Connection::open(desktop->display());
    recorder =
        new testing::InputRecorderWindow(desktop->display(), "Input recorder", 200, 150, 400, 300);
  }
  static void TearDownTestSuite() {
    delete recorder;
    connection.reset();
    delete desktop;
  }

  void SetUp() override {
    ASSERT_TRUE(poster->isAvailable());
    auto lastMap = std::chrono::steady_clock::now();
    ASSERT_TRUE(testing::eventually([&] {
      const auto window = windows->window(recorder->id());
      if (window && window->isOnScreen) return true;
      if (std::chrono::steady_clock::now() - lastMap > 250ms) {
        recorder->map();
        lastMap = std::chrono::steady_clock::now();
      }
      return false;
    }));
    area = windows->window(recorder->id())->contentBounds;
    ASSERT_GT(area.width, 0);
    auto mapper = std::make_shared<WindowCoordinateMapper>(
        std::make_shared<LiveWindowGeometryProvider>(
            windows, [] { return std::optional<WindowID>(recorder->id()); },
            [] { return PixelSize::empty; }),
        [] { return std::optional<WindowID>(recorder->id()); });
    controller->setMapper(mapper);
    recorder->clear();
  }

  // The events of `type` received so far.
  static std::vector<Event> only(const std::vector<Event>& events, std::uint8_t type) {
    std::vector<Event> kept;
    for (const auto& event : events) {
      if (event.type == type) kept.push_back(event);
    }
    return kept;
  }
  ::testing::AssertionResult waitFor(std::uint8_t type, std::size_t count) {
    if (recorder->waitUntil(
            [&](const std::vector<Event>& events) { return only(events, type).size() >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "received:" << describe(recorder->events());
  }
  // Each named key sent as a phone sends it arrives, in order, as that keysym.
  void expectKeysArrive(const std::vector<std::pair<const char*, std::uint32_t>>& keys) {
    for (const auto& [name, keysym] : keys) {
      auto key = message("key");
      key.key = name;
      controller->enqueue(key);
    }
    ASSERT_TRUE(waitFor(XCB_KEY_PRESS, keys.size()));
    const auto pressed = only(recorder->events(), XCB_KEY_PRESS);
    for (std::size_t i = 0; i < keys.size(); ++i)
      EXPECT_EQ(pressed[i].keysym, keys[i].second) << keys[i].first;
  }
  void TearDown() override {
    if (HasFailure()) ADD_FAILURE() << "received:" << describe(recorder->events());
  }

  static testing::XvfbDesktop* desktop;
  static std::shared_ptr<x11::Connection> connection;
  static testing::InputRecorderWindow* recorder;
  std::shared_ptr<x11::X11EventPoster> poster =
      std::make_shared<x11::X11EventPoster>(desktop->display());
  std::shared_ptr<x11::X11WindowServer> windows =
      std::make_shared<x11::X11WindowServer>(connection);
  std::shared_ptr<PortalInputController> controller = std::make_shared<PortalInputController>(
      InputService({poster, windows, std::make_shared<x11::X11ApplicationRegistry>(connection),
                    std::make_shared<x11::X11WindowControl>(connection)},
                   HostLogSink{})
          .forPortal(),
      HostLogSink{});
  ScreenRect area;
};

testing::XvfbDesktop* InputX11Test::desktop = nullptr;
std::shared_ptr<x11::Connection> InputX11Test::connection;
testing::InputRecorderWindow* InputX11Test::recorder = nullptr;

TEST_F(InputX11Test, TapsDoubleClicksAndDragsArriveWhereTheFingerWas) {
  controller->enqueue(message("tap", 0.25, 0.75));
  ASSERT_TRUE(waitFor(XCB_BUTTON_RELEASE, 1));
  auto presses = only(recorder->events(), XCB_BUTTON_PRESS);
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_EQ(presses[0].detail, 1);
  EXPECT_NEAR(presses[0].x, 0.25 * area.width, 1);
  EXPECT_NEAR(presses[0].y, 0.75 * area.height, 1);

  recorder->clear();
  controller->enqueue(message("doubletap", 0.5, 0.5));
  ASSERT_TRUE(waitFor(XCB_BUTTON_RELEASE, 2));
  presses = only(recorder->events(), XCB_BUTTON_PRESS);
  const auto releases = only(recorder->events(), XCB_BUTTON_RELEASE);
  ASSERT_EQ(presses.size(), 2u);
  EXPECT_EQ(presses[1].x, presses[0].x);
  EXPECT_LT(releases[1].time - presses[0].time, 200u);  // within any toolkit's double-click time

  recorder->clear();
  controller->enqueue(message("pointerdown", 0.1, 0.1));
  controller->enqueue(message("pointermove", 0.5, 0.4));
  controller->enqueue(message("pointerup", 0.9, 0.8));
  ASSERT_TRUE(waitFor(XCB_BUTTON_RELEASE, 1));
  const auto events = recorder->events();
  // Motion with the button held between press and release: a drag. (The server may merge
  // motions that arrive back to back, so not every intermediate point need show.)
  const auto press = std::find_if(events.begin(), events.end(),
                                  [](const Event& e) { return e.type == XCB_BUTTON_PRESS; });
  ASSERT_NE(press, events.end());
  EXPECT_TRUE(std::any_of(press, events.end(), [](const Event& e) {
    return e.type == XCB_MOTION_NOTIFY && (e.state & XCB_BUTTON_MASK_1) != 0;
  }));
  const auto release = only(events, XCB_BUTTON_RELEASE).front();
  EXPECT_EQ(release.detail, 1);
  EXPECT_NEAR(release.x, 0.9 * area.width, 1);
  EXPECT_FALSE(poster->isButtonDown(leftButton));
}

TEST_F(InputX11Test, ScrollsAreWheelClicksUpAndDown) {
  auto scroll = message("scroll", 0.5, 0.5);
  scroll.deltaY = 4;  // 104 pixels: two clicks up
  controller->enqueue(scroll);
  scroll.deltaY = -2;  // the other way: 52 pixels, one click down
  controller->enqueue(scroll);
  ASSERT_TRUE(waitFor(XCB_BUTTON_RELEASE, 3));
  std::vector<int> buttons;
  for (const auto& press : only(recorder->events(), XCB_BUTTON_PRESS))
    buttons.push_back(press.detail);
  EXPECT_EQ(buttons, (std::vector<int>{4, 4, 5}));
}

TEST_F(InputX11Test, TextArrivesAsTypedAndTheKeymapIsRestored) {
  const auto before = connection->keyboardMapping()->keysyms;
  auto text = message("text");
  text.text = "h\u00E9llo w\u00F6rld \u2713 \u65E5\u672C \U0001F600";
  controller->enqueue(text);
  const std::u32string expected = U"h\u00E9llo w\u00F6rld \u2713 \u65E5\u672C \U0001F600";
  EXPECT_TRUE(recorder->waitUntil([&](const std::vector<Event>& events) {
    return only(events, XCB_KEY_PRESS).size() >= expected.size();
  }));
  EXPECT_EQ(recorder->text(), expected);
  EXPECT_TRUE(testing::eventually([&] { return controller->pendingCount() == 0; }));
  EXPECT_EQ(connection->keyboardMapping()->keysyms, before);

  recorder->clear();
  const std::vector<std::pair<const char*, std::uint32_t>> keys = {
      {"Enter", 0xff0d},     {"Backspace", 0xff08}, {"Tab", 0xff09},        {"Escape", 0xff1b},
      {"Delete", 0xffff},    {"ArrowLeft", 0xff51}, {"ArrowRight", 0xff53}, {"ArrowUp", 0xff52},
      {"ArrowDown", 0xff54}, {"Home", 0xff50},      {"End", 0xff57},        {"PageUp", 0xff55},
      {"PageDown", 0xff56}};
  expectKeysArrive(keys);
}

TEST_F(InputX11Test, ModifiersReachTheWindowWithTheirEventAndComeUpAfter) {
  const std::uint16_t control = XCB_MOD_MASK_CONTROL, shift = XCB_MOD_MASK_SHIFT,
                      alt = XCB_MOD_MASK_1;
  auto click = message("tap", 0.5, 0.5);
  click.modifiers = bit(Modifier::ctrl) | bit(Modifier::shift);
  controller->enqueue(click);
  // Alt+F5: openbox keeps Alt+F4 for itself (see the terminals below).
  auto altKey = message("key");
  altKey.key = "f5";
  altKey.modifiers = bit(Modifier::alt);
  controller->enqueue(altKey);
  controller->enqueue(message("tap", 0.5, 0.5));  // and nothing is left held
  ASSERT_TRUE(waitFor(XCB_BUTTON_RELEASE, 2));
  const auto presses = only(recorder->events(), XCB_BUTTON_PRESS);
  ASSERT_EQ(presses.size(), 2u);
  EXPECT_EQ(presses[0].state & (control | shift | alt), control | shift);
  EXPECT_EQ(presses[1].state & (control | shift | alt), 0);
  const auto keys = only(recorder->events(), XCB_KEY_PRESS);
  const auto f5 =
      std::find_if(keys.begin(), keys.end(), [](const Event& e) { return e.keysym == 0xffc2; });
  ASSERT_NE(f5, keys.end());
  EXPECT_EQ(f5->state & (control | shift | alt), alt);

  // The keys beyond the first thirteen. (Print is left out: openbox binds it, as desktops do.)
  recorder->clear();
  const std::vector<std::pair<const char*, std::uint32_t>> more = {
      {"f1", 0xffbe},  {"f2", 0xffbf},     {"f3", 0xffc0},  {"f4", 0xffc1},  {"f6", 0xffc3},
      {"f7", 0xffc4},  {"f8", 0xffc5},     {"f9", 0xffc6},  {"f10", 0xffc7}, {"f11", 0xffc8},
      {"f12", 0xffc9}, {"insert", 0xff63}, {"menu", 0xff67}};
  expectKeysArrive(more);
}

// Each ends its terminal: Ctrl+C (one character with Ctrl held, as a phone sends it) stops the
// sleep in it, Alt+F4 makes the window manager close it.
TEST_F(InputX11Test, CtrlCInterruptsATerminalAndAltF4ClosesOne) {
  const auto terminal = [&](const std::string& title) -> std::optional<pid_t> {
    const pid_t pid = desktop->run(
        {"xterm", "-title", title, "-geometry", "60x10+100+100", "-e", "sleep", "300"});
    const auto window = testing::waitForWindow(*windows, title);
    if (!window) return std::nullopt;
    const WindowID id = window->windowID;
    controller->setMapper(std::make_shared<WindowCoordinateMapper>(
        std::make_shared<LiveWindowGeometryProvider>(
            windows, [id] { return std::optional<WindowID>(id); }, [] { return PixelSize::empty; }),
        [id] { return std::optional<WindowID>(id); }));
    return pid;
  };
  const auto ended = [](pid_t pid) {
    return testing::eventually([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 30s);
  };

  const auto interrupted = terminal("interrupt me");
  ASSERT_TRUE(interrupted);
  auto interrupt = message("text");
  interrupt.text = "c";
  interrupt.modifiers = bit(Modifier::ctrl);
  controller->enqueue(interrupt);
  EXPECT_TRUE(ended(*interrupted));

  const auto closed = terminal("close me");
  ASSERT_TRUE(closed);
  auto close = message("key");
  close.key = "f4";
  close.modifiers = bit(Modifier::alt);
  controller->enqueue(close);
  EXPECT_TRUE(ended(*closed));
}

// Asks CLIPBOARD's owner for `target` into a property of `window`, as a program pasting does;
// whether the owner answered with it.
bool convert(x11::Connection& reader, xcb_window_t window, std::string_view target) {
  xcb_connection_t* c = reader.get();
  xcb_convert_selection(c, window, reader.atom("CLIPBOARD"), reader.atom(target),
                        reader.atom("TAVELIN_PASTE"), XCB_CURRENT_TIME);
  xcb_flush(c);
  std::optional<xcb_atom_t> property;
  const bool answered = testing::eventually([&] {
    while (auto* event = xcb_poll_for_event(c)) {
      const auto owned = x11::own(event);
      if ((event->response_type & 0x7F) == XCB_SELECTION_NOTIFY) {
        property = reinterpret_cast<const xcb_selection_notify_event_t*>(event)->property;
      }
    }
    return property.has_value();
  });
  return answered && *property != XCB_NONE;
}

// What another program pastes as `target`: nothing when the owner refuses.
std::optional<std::string> paste(x11::Connection& reader, xcb_window_t window,
                                 std::string_view target) {
  if (!convert(reader, window, target)) return std::nullopt;
  return reader.bytes(window, "TAVELIN_PASTE");
}

// A phone's paste field on the CLIPBOARD selection, as another program reads it, until that
// program copies something of its own.
TEST_F(InputX11Test, ClipboardTextIsPastedByOtherProgramsUntilOneCopies) {
  auto reader = x11::Connection::open(desktop->display());
  ASSERT_TRUE(reader);
  const xcb_window_t window = xcb_generate_id(reader->get());
  xcb_create_window(reader->get(), XCB_COPY_FROM_PARENT, window, reader->root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  auto copy = message("clipboard");
  copy.text = "h\u00e9llo \u2713 \U0001F600";
  controller->enqueue(copy);
  EXPECT_TRUE(testing::eventually(
      [&] { return paste(*reader, window, "UTF8_STRING") == "h\u00e9llo \u2713 \U0001F600"; }));
  EXPECT_EQ(paste(*reader, window, "text/plain;charset=utf-8"), "h\u00e9llo \u2713 \U0001F600");
  EXPECT_EQ(paste(*reader, window, "STRING"), std::nullopt);  // not Latin-1
  EXPECT_EQ(paste(*reader, window, "image/png"), std::nullopt);
  ASSERT_TRUE(convert(*reader, window, "TARGETS"));
  const auto targets = reader->cardinals(window, "TAVELIN_PASTE", XCB_ATOM_ATOM);
  ASSERT_TRUE(targets);
  EXPECT_NE(std::find(targets->begin(), targets->end(), reader->atom("UTF8_STRING")),
            targets->end());
  EXPECT_EQ(std::find(targets->begin(), targets->end(), XCB_ATOM_STRING), targets->end());

  // Plain ASCII is offered as STRING too; another program's copy ends the offer.
  const auto clipboard = x11::X11Clipboard::open(desktop->display());
  ASSERT_TRUE(clipboard);
  ASSERT_TRUE(clipboard->set("plain text"));
  EXPECT_EQ(paste(*reader, window, "STRING"), "plain text");
  EXPECT_TRUE(clipboard->owns());
  xcb_set_selection_owner(reader->get(), window, reader->atom("CLIPBOARD"), XCB_CURRENT_TIME);
  reader->flush();
  EXPECT_TRUE(testing::eventually([&] { return !clipboard->owns(); }));
  xcb_destroy_window(reader->get(), window);
  reader->flush();
}

// What other programs copy reaches the host, as it would go to phones: each change, once; the
// host's own (a phone's paste) is not news; too long a text is reported as such.
TEST_F(InputX11Test, TextOtherProgramsCopyIsHeardButNotTheHostsOwn) {
  std::mutex lock;
  std::vector<std::optional<std::string>> heard;
  ASSERT_TRUE(poster->watchClipboard(
      [&](std::optional<std::string> text) {
        std::lock_guard guard(lock);
        heard.push_back(std::move(text));
      },
      16));
  const auto seen = [&] {
    std::lock_guard guard(lock);
    return heard;
  };
  const auto other = x11::X11Clipboard::open(desktop->display());
  ASSERT_TRUE(other);
  ASSERT_TRUE(other->set("copied ✓"));
  ASSERT_TRUE(testing::eventually([&] { return !seen().empty(); }));
  EXPECT_EQ(seen(), (std::vector<std::optional<std::string>>{"copied ✓"}));

  // The phone's text (once the other program knows it lost the selection), then a longer copy
  // of the other program's than the limit.
  ASSERT_TRUE(poster->setClipboard("from the phone"));
  ASSERT_TRUE(testing::eventually([&] { return !other->owns(); }));
  ASSERT_TRUE(other->set("seventeen bytes!!"));
  ASSERT_TRUE(testing::eventually([&] { return seen().size() >= 2; }));
  ASSERT_TRUE(other->set("sixteen bytes!!!"));
  ASSERT_TRUE(testing::eventually([&] { return seen().size() >= 3; }));
  EXPECT_EQ(seen(), (std::vector<std::optional<std::string>>{"copied ✓", std::nullopt,
                                                             "sixteen bytes!!!"}));
}

}  // namespace
}  // namespace tavelin
