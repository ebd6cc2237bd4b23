#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinKit/Model/Geometry.hpp"

// The port through which the host injects input into the desktop. Its vocabulary is that of a
// desktop event stream: mouse events by type and button number, pixel scroll deltas, keys by
// virtual key code, and key events that carry text. An adapter per desktop system turns these
// into real events (XTest on X11); tests record them.
namespace tavelin {

enum class MouseEventType : int {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
  otherMouseDown = 25,
  otherMouseUp = 26,
};

// Mouse button numbers of the event stream.
inline constexpr int leftButton = 0, rightButton = 1, middleButton = 2;

// Virtual key codes of the keys a phone can send, as the event stream numbers them.
namespace VirtualKey {
inline constexpr std::uint16_t returnKey = 36, deleteBackward = 51, tab = 48, escape = 53,
                               forwardDelete = 117, leftArrow = 123, rightArrow = 124,
                               upArrow = 126, downArrow = 125, home = 115, end = 119, pageUp = 116,
                               pageDown = 121, f1 = 122, f2 = 120, f3 = 99, f4 = 118, f5 = 96,
                               f6 = 97, f7 = 98, f8 = 100, f9 = 101, f10 = 109, f11 = 103,
                               f12 = 111, help = 114, f13 = 105, contextualMenu = 110;
// Where a PC keyboard has Insert, Print and Menu.
inline constexpr std::uint16_t insert = help, print = f13, menu = contextualMenu;
// The modifier keys (the left ones).
inline constexpr std::uint16_t command = 55, shift = 56, option = 58, control = 59;
}  // namespace VirtualKey

// What an adapter keeps between scroll events of one portal: the pixels that did not yet make
// a whole wheel click, per direction.
struct ScrollCarry {
  double vertical = 0;
  double horizontal = 0;
};

// Every operation posts at once, in order; each returns false when the event could not be made
// (then nothing was posted). Callable from any thread.
class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // At `at` in global screen points; clickState counts the clicks of a multi-click (0: none).
  virtual bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) = 0;
  // Pixel deltas: positive vertical scrolls up (the wheel turned away from the user), positive
  // horizontal scrolls left.
  virtual bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) = 0;
  // A press and a release of the key, or nothing when either cannot be made.
  virtual bool keyPress(std::uint16_t virtualKey) = 0;
  // A modifier key (VirtualKey::control, option, shift or command) goes down or comes up, and
  // stays so for the events that follow, typed text included.
  virtual bool modifierKey(std::uint16_t virtualKey, bool down) = 0;
  // A press and a release typing these UTF-16 units, whatever the keyboard layout.
  virtual bool typeUnits(std::u16string_view units) = 0;
  // Whether typeUnits takes a whole message at once (of any length, batching what it must
  // prepare, such as a keymap, for all of it); else it is handed a few units at a time.
  virtual bool typesWholeText() const { return false; }
  // Whether that button is held now.
  virtual bool isButtonDown(int button) = 0;
  // Makes `utf8` the desktop's clipboard, for its programs to paste; false where this desktop
  // cannot (then nothing changed).
  virtual bool setClipboard(std::string_view utf8) {
    (void)utf8;
    return false;
  }
  // The text another program puts on the desktop's clipboard (not what setClipboard put
  // there), or nothing for text longer than `limit` bytes.
  using ClipboardWatcher = std::function<void(std::optional<std::string>)>;
  // From now on `watcher` hears of each change, on a thread of the poster's; false where this
  // desktop cannot say (then it never does).
  virtual bool watchClipboard(ClipboardWatcher watcher, std::size_t limit) {
    (void)watcher;
    (void)limit;
    return false;
  }
};

}  // namespace tavelin
