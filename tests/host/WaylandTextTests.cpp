#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>
#include <memory>
#include <set>

#include "TavelinHost/Platform/Wayland/ClipboardText.hpp"
#include "TavelinHost/Platform/Wayland/TextDelivery.hpp"
#include "TavelinHost/Platform/Wayland/WaylandKeymap.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {
namespace {

// The text form of a layout, as a compositor hands it to its clients.
std::string keymapText(const char* layout) {
  std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
      xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES), xkb_context_unref);
  const xkb_rule_names names{"evdev", "pc105", layout, "", ""};
  std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
      xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS),
      xkb_keymap_unref);
  EXPECT_TRUE(keymap) << layout;
  if (!keymap) return {};
  std::unique_ptr<char, decltype(&free)> text(
      xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1), free);
  return std::string(text.get(), std::strlen(text.get()) + 1);  // with its NUL, as sent
}

TEST(WaylandKeymap, TheLayoutSaysWhichCharactersAreKeys) {
  const std::string us = keymapText("us");
  const auto usKeys = keysymsOfKeymap(us.data(), us.size());
  for (const std::uint32_t keysym : {0x61u, 0x41u, 0x7eu, 0x20u, 0xff0du}) {
    EXPECT_TRUE(usKeys.contains(keysym)) << std::hex << keysym;
  }
  EXPECT_FALSE(usKeys.contains(0xe9));       // é
  EXPECT_FALSE(usKeys.contains(0x10065e5));  // 日
  const std::string fr = keymapText("fr");
  EXPECT_TRUE(keysymsOfKeymap(fr.data(), fr.size()).contains(0xe9));
  // Not a keymap: nothing is a key, so everything would be pasted rather than lost.
  const std::string junk = "xkb_keymap { nonsense";
  EXPECT_TRUE(keysymsOfKeymap(junk.data(), junk.size()).empty());
  EXPECT_TRUE(keysymsOfKeymap(us.data(), 0).empty());
}

TEST(TextDelivery, KeysWhereTheLayoutHasThemPastesInBetween) {
  const std::set<std::uint32_t> layout{'h', 'l', 'o', ' '};
  const auto types = [&](std::uint32_t keysym) { return layout.contains(keysym); };
  // "hé€ lo\n✓🙂" with a control character and a broken unit thrown in.
  const std::u32string text = U"h\u00e9\u20ac l\u0007o\n\u2713\U0001F642\xd800";
  const std::vector<TextRun> expected{
      {false, {'h'}, {}},
      {true, {}, U"\u00e9\u20ac"},
      {false, {' ', 'l', 'o', 0xff0d}, {}},  // the bell types nothing; Return is a key anywhere
      {true, {}, U"\u2713\U0001F642"},
  };
  EXPECT_EQ(planText(text, types), expected);
  EXPECT_TRUE(planText(U"", types).empty());
  // Without a layout to ask, all but the keys every layout has is pasted.
  EXPECT_EQ(planText(U"ab\t", [](std::uint32_t) { return false; }),
            (std::vector<TextRun>{{true, {}, U"ab"}, {false, {0xff09}, {}}}));
}

// A copied text comes through a pipe: read to its end within the limit, or not at all when it
// is longer or its writer stalls; and the best text type is asked for.
TEST(ClipboardText, PipesGiveTheWholeTextOrNothing) {
  const auto pipeWith = [](const std::string& text, bool closed) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    EXPECT_TRUE(writeAll(ends[1], text));
    if (closed) ::close(ends[1]);
    return std::pair{ends[0], closed ? -1 : ends[1]};
  };
  bool tooLong = true;
  const std::string text = "copi\u00e9 \u2713\n" + std::string(5000, 'x');  // more than one read
  auto [whole, none] = pipeWith(text, true);
  EXPECT_EQ(readPipe(whole, text.size(), 1000, tooLong), text);
  EXPECT_FALSE(tooLong);
  ::close(whole);

  auto [longer, none2] = pipeWith(text, true);
  EXPECT_EQ(readPipe(longer, text.size() - 1, 1000, tooLong), std::nullopt);
  EXPECT_TRUE(tooLong);
  ::close(longer);

  // The writer keeps the pipe open and stops: what came is no whole text.
  auto [stalled, writer] = pipeWith("half", false);
  EXPECT_EQ(readPipe(stalled, 100, 50, tooLong), std::nullopt);
  EXPECT_FALSE(tooLong);
  ::close(stalled);
  ::close(writer);

  EXPECT_EQ(bestTextType({"image/png", "STRING", "text/plain;charset=utf-8"}),
            "text/plain;charset=utf-8");
  EXPECT_EQ(bestTextType({"TEXT", "UTF8_STRING"}), "UTF8_STRING");
  EXPECT_EQ(bestTextType({"image/png"}), "");
}

TEST(LateLogSink, LinesBeforeTheLogExistsArriveOnceItDoes) {
  auto late = std::make_shared<LateLogSink>();
  const HostLogSink sink = late->sink();
  for (std::size_t i = 0; i < LateLogSink::kept + 10; ++i) sink("Input", std::to_string(i));
  std::vector<std::string> seen;
  late->connect([&](std::string_view category, std::string_view message) {
    seen.push_back(std::string(category) + ": " + std::string(message));
  });
  ASSERT_EQ(seen.size(), LateLogSink::kept);  // the early ones are bounded
  EXPECT_EQ(seen.front(), "Input: 0");
  sink("Capture", "later");
  EXPECT_EQ(seen.back(), "Capture: later");
}

}  // namespace
}  // namespace tavelin::wayland
