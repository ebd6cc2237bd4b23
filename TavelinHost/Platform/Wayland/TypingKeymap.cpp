#include "TavelinHost/Platform/Wayland/TypingKeymap.hpp"

#include <xkbcommon/xkbcommon.h>

#include <unordered_set>

#include "TavelinHost/Platform/KeySymbols.hpp"

namespace tavelin::wayland {

namespace {

// xkb's name of a keysym, which its keymap compiler reads back: "a", "Return", "U65E5".
std::string keysymName(std::uint32_t keysym) {
  char name[64] = {};
  if (xkb_keysym_get_name(keysym, name, sizeof name) <= 0) {
    return "0x" + std::to_string(keysym);
  }
  return name;
}

}  // namespace

TypingKeymap typingKeymap(const std::vector<std::uint32_t>& keysyms) {
  TypingKeymap keymap;
  std::string codes, symbols;
  std::uint32_t keycode = 8;
  for (const std::uint32_t keysym : keysyms) {
    if (keysym == keys::noSymbol || keymap.keys.contains(keysym)) continue;
    if (keymap.keys.size() == TypingKeymap::capacity) break;
    ++keycode;
    keymap.keys.emplace(keysym, keycode - 8);
    const std::string name = "<T" + std::to_string(keycode) + ">";
    codes += "    " + name + " = " + std::to_string(keycode) + ";\n";
    symbols += "    key " + name + " { [ " + keysymName(keysym) + " ] };\n";
  }
  // Types and compatibility as every layout has them; symbols and keycodes of our own.
  keymap.text = "xkb_keymap {\n  xkb_keycodes \"tavelin\" {\n    minimum = 8;\n    maximum = " +
                std::to_string(std::max<std::uint32_t>(keycode, 9)) + ";\n" + codes +
                "  };\n  xkb_types \"tavelin\" { include \"complete\" };\n"
                "  xkb_compatibility \"tavelin\" { include \"complete\" };\n"
                "  xkb_symbols \"tavelin\" {\n" +
                symbols + "  };\n};\n";
  return keymap;
}

std::vector<std::vector<std::uint32_t>> typingBatches(std::u32string_view characters,
                                                      std::size_t& untyped, std::size_t capacity) {
  std::vector<std::vector<std::uint32_t>> batches;
  std::unordered_set<std::uint32_t> distinct;
  untyped = 0;
  for (const char32_t character : characters) {
    const std::uint32_t keysym = keys::keysymFor(character);
    if (keysym == keys::noSymbol) {
      ++untyped;
      continue;
    }
    if (batches.empty() || (!distinct.contains(keysym) && distinct.size() == capacity)) {
      batches.emplace_back();
      distinct.clear();
    }
    distinct.insert(keysym);
    batches.back().push_back(keysym);
  }
  return batches;
}

}  // namespace tavelin::wayland
