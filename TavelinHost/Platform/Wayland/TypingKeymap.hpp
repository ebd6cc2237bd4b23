#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavelin::wayland {

// A keyboard of our own for typing exact text: one key for each keysym it types, in a keymap
// the compositor takes from us. X clients (through XWayland) read keycodes up to 255, so a
// keymap holds at most `capacity` keys; longer text is typed in batches, a keymap each.
struct TypingKeymap {
  static constexpr std::size_t capacity = 247;  // keycodes 9 to 255

  std::string text;  // the keymap in xkb's text form, nul-terminated when uploaded
  std::unordered_map<std::uint32_t, std::uint32_t> keys;  // keysym → Linux key code (xkb − 8)
};

// A keymap whose keys type `keysyms` (duplicates and noSymbol left out, at most `capacity`),
// each at its first level with no modifier.
TypingKeymap typingKeymap(const std::vector<std::uint32_t>& keysyms);

// What a text types, split where the next keysym would not fit the keymap being filled: each
// batch is the keysyms of one keymap, in order; characters with no keysym are counted in
// `untyped`.
std::vector<std::vector<std::uint32_t>> typingBatches(
    std::u32string_view characters, std::size_t& untyped,
    std::size_t capacity = TypingKeymap::capacity);

}  // namespace tavelin::wayland
