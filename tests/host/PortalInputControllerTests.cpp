#include <gtest/gtest.h>

#include "TavelinHost/Input/PortalInputController.hpp"
#include "tests/support/FakeInputDesktop.hpp"
#include "tests/support/ManualExecutor.hpp"

namespace tavelin {
namespace {

using Events = std::vector<std::string>;

InputMessage message(std::string type, double x = 0.5, double y = 0.5) {
  InputMessage m;
  m.type = std::move(type);
  m.x = x;
  m.y = y;
  return m;
}

// A window portal over a 200x100 window at (100, 50) whose application cannot be activated, so
// a raise goes through the window control (and is counted there, without the pause).
class PortalInputControllerTest : public ::testing::Test, protected testing::FakeInputDesktop {
 protected:
  PortalInputControllerTest() {
    windows->windows = {{7, 300, 0, {100, 50, 200, 100}, "Doc", "App", true, {}}};
    control->byProcess[300] = {{70, "Doc", ScreenPoint{100, 50}}};
    control->trusted = false;  // raising fails: no pause, and each attempt is logged
    controller->setMapper(mapper(7));
  }
  std::shared_ptr<PortalCoordinateMapper> mapper(WindowID window) {
    return std::make_shared<WindowCoordinateMapper>(
        std::make_shared<StaticWindowGeometryProvider>(ScreenRect{100, 50, 200, 100}, 1.0),
        [window] { return std::optional<WindowID>(window); });
  }
  int raiseAttempts() { return static_cast<int>(applications->activated.size()); }

  std::shared_ptr<testing::ManualExecutor> queue = std::make_shared<testing::ManualExecutor>();
  std::shared_ptr<PortalInputController> controller = std::make_shared<PortalInputController>(
      std::make_shared<InputService>(desktop(), HostLogSink{}), HostLogSink{}, queue);
};

TEST_F(PortalInputControllerTest, GesturesAreMappedRaisedWhereNeededAndReplayed) {
  controller->enqueue(message("tap", 0.25, 0.5));
  controller->enqueue(message("doubletap"));
  controller->enqueue(message("longpress"));
  controller->enqueue(message("pointerdown", 0, 0));
  controller->enqueue(message("pointermove", 0.5, 0));
  controller->enqueue(message("pointerup", 1, 1));
  auto scroll = message("scroll");
  scroll.deltaY = 1;
  controller->enqueue(scroll);
  EXPECT_EQ(controller->pendingCount(), 7);
  queue->runAll();
  EXPECT_EQ(controller->pendingCount(), 0);
  EXPECT_EQ(poster->take(),
            (Events{"mouse 1 b0 c1 @150,100", "mouse 2 b0 c1 @150,100", "mouse 1 b0 c1 @200,100",
                    "mouse 2 b0 c1 @200,100", "mouse 1 b0 c2 @200,100", "mouse 2 b0 c2 @200,100",
                    "mouse 3 b1 c1 @200,100", "mouse 4 b1 c1 @200,100", "mouse 1 b0 c1 @100,50",
                    "mouse 6 b0 c0 @200,50", "mouse 2 b0 c1 @299,149", "mouse 5 b0 c0 @200,100",
                    "wheel 26 0"}));
  // tap, doubletap, longpress, pointerdown and scroll raise; the move and the up do not.
  EXPECT_EQ(raiseAttempts(), 5);
}

TEST_F(PortalInputControllerTest, WhatMustNotActDoesNothingAtAll) {
  controller->enqueue(message("tap", 1.2, 0.5));  // off the picture
  controller->enqueue(message("text"));           // no text
  auto empty = message("text");
  empty.text = "";
  controller->enqueue(empty);
  auto unknownKey = message("key");
  unknownKey.key = "Esc";
  controller->enqueue(unknownKey);
  for (const char* ignored : {"ack", "selectportal", "ping", "Tap", "launch"})
    controller->enqueue(message(ignored));
  queue->runAll();
  EXPECT_TRUE(poster->take().empty());
  EXPECT_EQ(raiseAttempts(), 0);

  auto key = message("key");
  key.key = "PageDown";
  controller->enqueue(key);
  auto text = message("text");
  text.text = "ok";
  controller->enqueue(text);
  queue->runAll();
  EXPECT_EQ(poster->take(), (Events{"key 121", "text 2"}));
  EXPECT_EQ(raiseAttempts(), 2);

  // Without a window number, and without a mapper, nothing is raised; without a mapper,
  // nothing happens at all.
  controller->setMapper(mapper(0));
  controller->enqueue(message("tap"));
  queue->runAll();
  EXPECT_EQ(poster->take().size(), 2u);
  controller->setMapper(nullptr);
  controller->enqueue(message("tap"));
  queue->runAll();
  EXPECT_TRUE(poster->take().empty());
  EXPECT_EQ(raiseAttempts(), 2);
}

TEST_F(PortalInputControllerTest, ABackloggedPortalShedsOnlyPointerMoves) {
  for (int i = 0; i < 65; ++i) controller->enqueue(message("pointermove"));
  EXPECT_EQ(controller->pendingCount(), 65);
  controller->enqueue(message("pointermove"));
  EXPECT_EQ(controller->pendingCount(), 65);
  controller->enqueue(message("pointerup"));
  EXPECT_EQ(controller->pendingCount(), 66);
  EXPECT_EQ(queue->runAll(), 66);
  EXPECT_EQ(controller->pendingCount(), 0);
}

TEST_F(PortalInputControllerTest, AStrokeCutShortByThePortalGoingAwayLetsTheButtonGo) {
  controller->enqueue(message("pointerdown"));
  controller->enqueue(message("pointermove", 0.75, 0.5));
  queue->runAll();
  controller->enqueue(message("pointerup"));  // still queued when the portal goes
  poster->take();
  controller.reset();
  EXPECT_EQ(queue->runAll(), 1);  // skipped: its controller is gone
  EXPECT_EQ(poster->take(), (Events{"mouse 2 b0 c1 @250,100"}));
}

// Ctrl 59, Alt 58, Shift 56, Super 55: down just before the event, up right after it.
TEST_F(PortalInputControllerTest, ModifiersAreHeldAroundTheirEventAndNeverLeftDown) {
  auto key = message("key");
  key.key = "f4";
  key.modifiers = bit(Modifier::alt);
  auto copy = message("text");
  copy.text = "c";
  copy.modifiers = bit(Modifier::ctrl);
  auto words = message("text");
  words.text = "cc";  // more than one character is typed as it is
  words.modifiers = bit(Modifier::ctrl);
  auto click = message("tap", 0.25, 0.5);
  click.modifiers = bit(Modifier::ctrl) | bit(Modifier::shift);
  controller->enqueue(key);
  controller->enqueue(copy);
  controller->enqueue(words);
  controller->enqueue(click);
  queue->runAll();
  EXPECT_EQ(poster->take(), (Events{"down 58", "key 118", "up 58", "down 59", "text 1", "up 59",
                                    "text 2", "down 59", "down 56", "mouse 1 b0 c1 @150,100",
                                    "mouse 2 b0 c1 @150,100", "up 59", "up 56"}));

  // A stroke holds its modifiers from its start to its end (Shift+drag); a tap in between
  // adds its own and gives them back.
  auto down = message("pointerdown", 0, 0);
  down.modifiers = bit(Modifier::shift);
  auto superTap = message("tap", 0, 0);
  superTap.modifiers = bit(Modifier::super);
  controller->enqueue(down, Uuid::random());
  controller->enqueue(message("pointermove", 0.5, 0));
  controller->enqueue(superTap);
  controller->enqueue(message("pointerup", 0.5, 0));
  queue->runAll();
  EXPECT_EQ(poster->take(), (Events{"down 56", "mouse 1 b0 c1 @100,50", "mouse 6 b0 c0 @200,50",
                                    "down 55", "mouse 1 b0 c1 @100,50", "mouse 2 b0 c1 @100,50",
                                    "up 55", "mouse 2 b0 c1 @200,50", "up 56"}));
}

// A phone's paste field becomes the desktop's clipboard; nothing is raised for it.
TEST_F(PortalInputControllerTest, ClipboardTextGoesToTheDesktopWithoutRaisingAnything) {
  auto paste = message("clipboard");
  paste.text = "h\u00e9llo \U0001F600";
  controller->enqueue(paste);
  controller->enqueue(message("clipboard"));  // no text: nothing to set
  queue->runAll();
  EXPECT_EQ(poster->take(), (Events{"clipboard h\u00e9llo \U0001F600"}));
  EXPECT_EQ(raiseAttempts(), 0);
}

TEST_F(PortalInputControllerTest, APhoneThatVanishesMidStrokeLetsGoOfButtonAndModifiers) {
  const Uuid phone = Uuid::random();
  auto down = message("pointerdown", 0, 0);
  down.modifiers = bit(Modifier::ctrl) | bit(Modifier::alt);
  controller->enqueue(down, phone);
  controller->enqueue(message("pointermove", 0.5, 0));
  controller->endSession(Uuid::random());  // another phone: nothing of this stroke is let go
  queue->runAll();
  EXPECT_EQ(poster->take(),
            (Events{"down 59", "down 58", "mouse 1 b0 c1 @100,50", "mouse 6 b0 c0 @200,50"}));
  controller->endSession(phone);
  queue->runAll();
  EXPECT_EQ(poster->take(), (Events{"mouse 2 b0 c1 @200,50", "up 59", "up 58"}));

  // A stroke whose end lands off the picture still ends, keys and all.
  controller->enqueue(down, phone);
  controller->enqueue(message("pointerup", 2, 2));
  queue->runAll();
  EXPECT_EQ(poster->take(), (Events{"down 59", "down 58", "mouse 1 b0 c1 @100,50",
                                    "mouse 2 b0 c1 @100,50", "up 59", "up 58"}));
  // And a portal that goes away mid-stroke lets go of them too.
  controller->enqueue(down, phone);
  queue->runAll();
  poster->take();
  controller.reset();
  EXPECT_EQ(poster->take(), (Events{"mouse 2 b0 c1 @100,50", "up 59", "up 58"}));
}

}  // namespace
}  // namespace tavelin
