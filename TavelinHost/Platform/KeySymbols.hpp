#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "TavelinHost/Platform/EventPoster.hpp"

// What the desktop adapters share about keys and wheels: both X11 and Wayland (through
// xkbcommon) speak X keysyms, and both turn pixel scrolls into wheel clicks.
namespace tavelin::keys {

inline constexpr std::uint32_t noSymbol = 0;
inline constexpr std::uint32_t shiftLeft = 0xffe1;

// Linux input codes of our buttons, which Wayland desktops take pointer buttons in.
inline std::int32_t evdevButton(int button) {
  switch (button) {
    case rightButton: return 0x111;   // BTN_RIGHT
    case middleButton: return 0x112;  // BTN_MIDDLE
    default: return 0x110;            // BTN_LEFT
  }
}

// Event-stream virtual key codes → X keysyms; noSymbol for codes a phone cannot send.
inline std::uint32_t keysymOfVirtualKey(std::uint16_t code) {
  switch (code) {
    case VirtualKey::returnKey: return 0xff0d;       // Return
    case VirtualKey::deleteBackward: return 0xff08;  // BackSpace
    case VirtualKey::tab: return 0xff09;             // Tab
    case VirtualKey::escape: return 0xff1b;          // Escape
    case VirtualKey::forwardDelete: return 0xffff;   // Delete
    case VirtualKey::leftArrow: return 0xff51;       // Left
    case VirtualKey::rightArrow: return 0xff53;      // Right
    case VirtualKey::upArrow: return 0xff52;         // Up
    case VirtualKey::downArrow: return 0xff54;       // Down
    case VirtualKey::home: return 0xff50;            // Home
    case VirtualKey::end: return 0xff57;             // End
    case VirtualKey::pageUp: return 0xff55;          // Prior
    case VirtualKey::pageDown: return 0xff56;        // Next
    case VirtualKey::f1: return 0xffbe;              // F1, and on to F12
    case VirtualKey::f2: return 0xffbf;
    case VirtualKey::f3: return 0xffc0;
    case VirtualKey::f4: return 0xffc1;
    case VirtualKey::f5: return 0xffc2;
    case VirtualKey::f6: return 0xffc3;
    case VirtualKey::f7: return 0xffc4;
    case VirtualKey::f8: return 0xffc5;
    case VirtualKey::f9: return 0xffc6;
    case VirtualKey::f10: return 0xffc7;
    case VirtualKey::f11: return 0xffc8;
    case VirtualKey::f12: return 0xffc9;
    case VirtualKey::insert: return 0xff63;    // Insert
    case VirtualKey::print: return 0xff61;     // Print
    case VirtualKey::menu: return 0xff67;      // Menu
    case VirtualKey::control: return 0xffe3;   // Control_L
    case VirtualKey::option: return 0xffe9;    // Alt_L
    case VirtualKey::shift: return shiftLeft;  // Shift_L
    case VirtualKey::command: return 0xffeb;   // Super_L
    default: return noSymbol;
  }
}

// The keysym of a character: Latin-1 as itself, line breaks, tabs and backspaces as their keys,
// everything else in the Unicode range; noSymbol for other control characters and broken units.
inline std::uint32_t keysymFor(char32_t character) {
  if ((character >= 0x20 && character <= 0x7e) || (character >= 0xa0 && character <= 0xff)) {
    return character;
  }
  switch (character) {
    case U'\n':
    case U'\r': return 0xff0d;  // Return
    case U'\t': return 0xff09;  // Tab
    case U'\b': return 0xff08;  // BackSpace
    default: break;
  }
  if (character < 0x20 || (character >= 0x7f && character < 0xa0) || character > 0x10ffff ||
      (character >= 0xd800 && character <= 0xdfff)) {
    return noSymbol;
  }
  return 0x01000000 + static_cast<std::uint32_t>(character);
}

// The characters of UTF-16 units; a lone surrogate comes out as itself (and types nothing).
inline std::u32string charactersOf(std::u16string_view units) {
  std::u32string characters;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t character = units[i];
    if (character >= 0xd800 && character <= 0xdbff && i + 1 < units.size() &&
        units[i + 1] >= 0xdc00 && units[i + 1] <= 0xdfff) {
      character = 0x10000 + ((character - 0xd800) << 10) + (units[i + 1] - 0xdc00);
      ++i;
    }
    characters.push_back(character);
  }
  return characters;
}

// Pixels of scroll that make one wheel click, and the most clicks one scroll event gives.
inline constexpr double pixelsPerWheelClick = 50;
inline constexpr int maxClicksPerScroll = 20;

// Whole wheel clicks for `pixels` more, keeping the rest in `carried` (reset when the direction
// turns).
inline int wheelClicks(double& carried, std::int32_t pixels) {
  if ((carried > 0 && pixels < 0) || (carried < 0 && pixels > 0)) carried = 0;
  carried += pixels;
  const auto clicks = static_cast<int>(std::trunc(carried / pixelsPerWheelClick));
  carried -= clicks * pixelsPerWheelClick;
  return std::clamp(clicks, -maxClicksPerScroll, maxClicksPerScroll);
}

}  // namespace tavelin::keys
