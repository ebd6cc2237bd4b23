#include <gtest/gtest.h>

#include "TavelinHost/Input/InputService.hpp"
#include "tests/support/FakeInputDesktop.hpp"

namespace tavelin {
namespace {

using Events = std::vector<std::string>;

class InputServiceTest : public ::testing::Test, protected testing::FakeInputDesktop {
 protected:
  InputServiceTest() {
    windows->windows = {{77, 500, 0, {100, 80, 400, 300}, "Notes", "Editor", true, {}},
                        {78, 500, 0, {600, 80, 400, 300}, "", "Editor", true, {}}};
    control->byProcess[500] = {{9001, "Other", ScreenPoint{0, 0}},
                               {9002, "Notes", ScreenPoint{100, 80}},
                               {9003, "", ScreenPoint{601.5, 81.9}}};
  }
  std::vector<std::string> logged() { return std::exchange(lines, {}); }

  std::vector<std::string> lines;
  InputService service{desktop(), [this](std::string_view category, std::string_view message) {
                         lines.push_back(std::string(category) + ": " + std::string(message));
                       }};
};

TEST_F(InputServiceTest, GesturesPostTheirEventsInOrder) {
  const ScreenPoint p{10, 20};
  service.leftClick(p);
  service.rightClick(p);
  service.doubleClick(p);
  service.movePointer(p);
  EXPECT_EQ(poster->take(),
            (Events{"mouse 1 b0 c1 @10,20", "mouse 2 b0 c1 @10,20", "mouse 3 b1 c1 @10,20",
                    "mouse 4 b1 c1 @10,20", "mouse 1 b0 c1 @10,20", "mouse 2 b0 c1 @10,20",
                    "mouse 1 b0 c2 @10,20", "mouse 2 b0 c2 @10,20", "mouse 5 b0 c0 @10,20"}));

  // A stroke: down, moves that are drags while the button is held, up; then a plain move.
  service.pointerDown(p);
  service.pointerMove({11, 21});
  service.pointerUp({12, 22});
  service.pointerMove({13, 23});
  service.pointerDown(p, MouseButton::right);
  service.pointerMove({14, 24});
  service.pointerUp(p, MouseButton::right);
  service.pointerDown(p, MouseButton::middle);
  service.pointerUp(p, MouseButton::middle);
  EXPECT_EQ(poster->take(),
            (Events{"mouse 1 b0 c1 @10,20", "mouse 6 b0 c0 @11,21", "mouse 2 b0 c1 @12,22",
                    "mouse 5 b0 c0 @13,23", "mouse 3 b1 c1 @10,20", "mouse 7 b1 c0 @14,24",
                    "mouse 4 b1 c1 @10,20", "mouse 25 b2 c1 @10,20", "mouse 26 b2 c1 @10,20"}));

  // A stroke cut short: what this portal holds is let go where the pointer last was.
  service.pointerDown(p);
  service.pointerMove({30, 40});
  poster->take();
  service.releaseHeldButtons();
  service.releaseHeldButtons();
  EXPECT_EQ(poster->take(), (Events{"mouse 2 b0 c1 @30,40"}));
  EXPECT_TRUE(logged().empty());
}

TEST_F(InputServiceTest, ScrollMovesFirstThenPostsClampedPixelDeltas) {
  const ScreenPoint p{5, 6};
  service.scroll(p, 0, 3.5);
  service.scroll(p, -250, 250);
  service.scroll(p, 0, -0.01);
  service.scroll(p, 0.5 / 26, -0.5 / 26);  // halves round away from zero
  EXPECT_EQ(poster->take(),
            (Events{"mouse 5 b0 c0 @5,6", "wheel 91 0", "mouse 5 b0 c0 @5,6", "wheel 2600 -2600",
                    "mouse 5 b0 c0 @5,6", "mouse 5 b0 c0 @5,6", "wheel -1 1"}));
  poster->failing = {"wheel"};
  service.scroll(p, 0, 1);
  EXPECT_TRUE(logged().empty());  // a wheel event that cannot be made is not logged
}

TEST_F(InputServiceTest, KeysAndTextInChunksThatNeverSplitACharacter) {
  for (const SpecialKey key : allSpecialKeys) service.keyPress(key);
  EXPECT_EQ(
      poster->take(),
      (Events{"key 36", "key 51", "key 48", "key 53", "key 117", "key 123", "key 124", "key 126",
              "key 125", "key 115", "key 119", "key 116", "key 121",
              // F1 to F12, then Insert, Print and Menu
              "key 122", "key 120", "key 99", "key 118", "key 96", "key 97", "key 98", "key 100",
              "key 101", "key 109", "key 103", "key 111", "key 114", "key 105", "key 110"}));

  service.typeText("");
  service.typeText(std::string(40, 'a'));
  EXPECT_EQ(poster->take(), (Events{"text 16", "text 16", "text 8"}));
  // A desktop that prepares its keymap once for a whole message gets it whole.
  poster->wholeText = true;
  service.typeText(std::string(40, 'a') + "\U0001F600\u00e9");
  EXPECT_EQ(poster->take(), (Events{"text 43"}));
  EXPECT_EQ(poster->chunks().back(), std::u16string(40, u'a') + u"\U0001F600\u00e9");
  poster->wholeText = false;

  // An emoji whose two units would straddle the cut moves whole into the next chunk.
  const std::string straddling = std::string(15, 'x') + "\U0001F600" + "y";
  EXPECT_EQ(InputService::textChunks(straddling),
            (std::vector<std::u16string>{std::u16string(15, u'x'), u"\U0001F600y"}));
  EXPECT_EQ(InputService::textChunks(std::string(14, 'x') + "\U0001F600\U0001F600"),
            (std::vector<std::u16string>{std::u16string(14, u'x') + u"\U0001F600", u"\U0001F600"}));
  EXPECT_EQ(InputService::textChunks("h\xC3\xA9llo \xE6\x97\xA5"),
            (std::vector<std::u16string>{u"h\u00E9llo \u65E5"}));
}

TEST_F(InputServiceTest, EventsThatCannotBeMadeAreLoggedOncePerEvent) {
  poster->failing = {"mouse", "key", "text", "clipboard", "modifier"};
  service.leftClick({1, 1});
  service.keyPress(SpecialKey::tab);
  service.typeText("quiet");
  service.setClipboard("copied");
  service.holdModifiers(bit(Modifier::ctrl) | bit(Modifier::alt));
  service.holdModifiers(0);
  EXPECT_EQ(logged(), (std::vector<std::string>{
                          "Input: Input error: could not create a mouse event",
                          "Input: Input error: could not create a mouse event",
                          "Input: Input error: could not create a key event",
                          "Input: Input error: this desktop's clipboard could not be set",
                          "Input: Input error: could not create a modifier key event",
                          "Input: Input error: could not create a modifier key event"}));
}

TEST_F(InputServiceTest, RaisingActivatesTheApplicationOrRaisesTheWindowItself) {
  using Raise = InputService::Raise;
  applications->identifiers[500] = "org.example.Editor";  // activation works
  // 77 is in front (the windows are listed front to back): raised all the same, for the
  // keyboard, but nothing moved.
  EXPECT_EQ(service.raiseWindow(77), Raise::alreadyInFront);
  EXPECT_EQ(control->raised, std::vector<std::uint32_t>{9002});  // found by title

  applications->identifiers.clear();  // activation refused: the window control alone
  control->raised.clear();
  EXPECT_EQ(service.raiseWindow(78), Raise::raised);  // no title: by its corner, within 2 points
  EXPECT_EQ(control->raised, std::vector<std::uint32_t>{9003});
  EXPECT_TRUE(logged().empty());
  // A window in front on a layer of its own (a panel) does not count.
  windows->windows.insert(windows->windows.begin(),
                          LiveWindow{90, 600, 3, {0, 0, 1280, 30}, "Panel", "Shell", true, {}});
  EXPECT_EQ(service.raiseWindow(77), Raise::alreadyInFront);
  windows->windows.front().layer = 0;  // an ordinary window over it
  EXPECT_EQ(service.raiseWindow(77), Raise::raised);

  control->byProcess[500][2].position = ScreenPoint{602, 80};  // 2 points off is too far
  EXPECT_EQ(service.raiseWindow(78), Raise::failed);
  control->trusted = false;
  EXPECT_EQ(service.raiseWindow(77), Raise::failed);
  EXPECT_EQ(logged(),
            (std::vector<std::string>{"Input: Input error: could not raise the target window",
                                      "Input: Input error: could not raise the target window"}));

  EXPECT_EQ(service.raiseWindow(4040), Raise::failed);  // no such window: nothing to say
  EXPECT_TRUE(logged().empty());
}

}  // namespace
}  // namespace tavelin
