// The keyboards of our own that type exact text on wlroots compositors, and where absolute
// pointer motions land in the layout.
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <map>
#include <memory>
#include <set>

#include "TavelinHost/Platform/KeySymbols.hpp"
#include "TavelinHost/Platform/Wayland/TypingKeymap.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsInput.hpp"

namespace tavelin {
namespace {

using wayland::typingBatches;
using wayland::typingKeymap;
using wayland::TypingKeymap;

// The keymap as a compositor compiles it, and the keysym each of its keys types.
std::map<std::uint32_t, std::uint32_t> compiled(const TypingKeymap& keymap) {
  std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
      xkb_context_new(XKB_CONTEXT_NO_FLAGS), xkb_context_unref);
  std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> parsed(
      xkb_keymap_new_from_string(context.get(), keymap.text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                 XKB_KEYMAP_COMPILE_NO_FLAGS),
      xkb_keymap_unref);
  std::map<std::uint32_t, std::uint32_t> typed;  // Linux key code → keysym
  if (!parsed) return typed;
  for (xkb_keycode_t code = xkb_keymap_min_keycode(parsed.get());
       code <= xkb_keymap_max_keycode(parsed.get()); ++code) {
    const xkb_keysym_t* symbols = nullptr;
    if (xkb_keymap_key_get_syms_by_level(parsed.get(), code, 0, 0, &symbols) == 1) {
      typed[code - 8] = symbols[0];
    }
  }
  return typed;
}

std::vector<std::uint32_t> keysymsOf(std::u16string_view text) {
  std::vector<std::uint32_t> keysyms;
  for (const char32_t c : keys::charactersOf(text)) keysyms.push_back(keys::keysymFor(c));
  return keysyms;
}

TEST(TypingKeymap, EveryCharacterOfAnyTextHasAKeyThatTypesExactlyIt) {
  // Accents, symbols, CJK, a check mark, an emoji beyond the BMP (a surrogate pair), a
  // combining mark after a plain letter, and the keys of line breaks and tabs.
  const std::u16string text = u"h\u00e9llo \u20ac\u65e5\u672c \u2713\U0001F642 e\u0301\n\t";
  const auto keysyms = keysymsOf(text);
  const auto keymap = typingKeymap(keysyms);
  const auto typed = compiled(keymap);
  ASSERT_FALSE(typed.empty()) << keymap.text;
  for (const std::uint32_t keysym : keysyms) {
    const auto key = keymap.keys.find(keysym);
    ASSERT_NE(key, keymap.keys.end()) << std::hex << keysym;
    EXPECT_EQ(typed.at(key->second), keysym) << std::hex << keysym;
  }
  // One key per distinct keysym: "l", " " and "e" come twice or more in the text.
  EXPECT_EQ(keymap.keys.size(), std::set<std::uint32_t>(keysyms.begin(), keysyms.end()).size());
  EXPECT_TRUE(keymap.keys.contains(0x01000000 + 0x1F642));  // the pair as one character
}

TEST(TypingKeymap, AKeymapHoldsWhatXClientsCanReadAndTextBeyondThatIsTypedInBatches) {
  std::vector<std::uint32_t> many;
  for (std::uint32_t c = 0x4e00; c < 0x4e00 + 300; ++c) many.push_back(0x01000000 + c);
  const auto keymap = typingKeymap(many);
  EXPECT_EQ(keymap.keys.size(), TypingKeymap::capacity);
  const auto typed = compiled(keymap);
  EXPECT_EQ(typed.size(), TypingKeymap::capacity);
  EXPECT_LE(typed.rbegin()->first + 8, 255u);  // the highest keycode an X client reads

  std::size_t untyped = 0;
  // With room for three keysyms a keymap: "abcab" fits one, "d" starts the next.
  const auto batches = typingBatches(U"abcabd\u0007", untyped, 3);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0], (std::vector<std::uint32_t>{'a', 'b', 'c', 'a', 'b'}));
  EXPECT_EQ(batches[1], (std::vector<std::uint32_t>{'d'}));
  EXPECT_EQ(untyped, 1u);  // the bell types nothing
  EXPECT_TRUE(typingBatches(U"", untyped).empty());
  EXPECT_TRUE(typingKeymap({keys::noSymbol}).keys.empty());
}

TEST(AbsoluteMotion, PointsLandAcrossTheLayoutsBoxAndOffItAtItsNearestEdge) {
  // Two outputs side by side, the second lower and larger: the box spans both.
  const std::vector<ScreenRect> layout{{0, 0, 1280, 720}, {1280, 100, 1920, 1080}};
  const auto inSecond = wayland::absoluteMotion(layout, {1280 + 960, 100 + 540});
  ASSERT_TRUE(inSecond);
  EXPECT_EQ(inSecond->xExtent, 3200u);
  EXPECT_EQ(inSecond->yExtent, 1180u);
  EXPECT_EQ(inSecond->x, 2240u);
  EXPECT_EQ(inSecond->y, 640u);
  const auto off = wayland::absoluteMotion(layout, {-50, 5000});
  ASSERT_TRUE(off);
  EXPECT_EQ(off->x, 0u);
  EXPECT_EQ(off->y, 1179u);
  // A layout that does not start at the origin.
  const auto shifted = wayland::absoluteMotion({{-1920, -200, 1920, 1080}}, {-960, 340});
  ASSERT_TRUE(shifted);
  EXPECT_EQ(shifted->x, 960u);
  EXPECT_EQ(shifted->y, 540u);
  EXPECT_FALSE(wayland::absoluteMotion({}, {0, 0}));
  EXPECT_FALSE(wayland::absoluteMotion({{0, 0, 0, 0}}, {0, 0}));
}

}  // namespace
}  // namespace tavelin
