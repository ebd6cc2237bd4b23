#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinHost/Platform/X11/X11Clipboard.hpp"
#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::x11 {

// Real input on an X11 desktop through XTest, on a connection of its own: absolute pointer
// motion in root coordinates, buttons 1 (left), 2 (middle) and 3 (right), wheel clicks on
// buttons 4 to 7, and keys looked up in the live keymap. Characters the keymap lacks are typed
// by binding them to spare keycodes for the moment of the press; the keymap is restored after.
class X11EventPoster final : public EventPoster {
 public:
  // Clients reload their keymap when it changes; they need this long before and after a
  // press on a rebound keycode, or they read the key with the wrong keymap.
  static constexpr std::chrono::milliseconds keymapSettleTime{30};

  explicit X11EventPoster(std::string display = {});
  ~X11EventPoster() override;

  bool isAvailable() const { return available_; }

  bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) override;
  bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) override;
  bool keyPress(std::uint16_t virtualKey) override;
  bool modifierKey(std::uint16_t virtualKey, bool down) override;
  bool typeUnits(std::u16string_view units) override;
  // The characters of a whole message share one change of the keymap, as far as spare keycodes
  // go: each change costs every client a reload, and the wait for it.
  bool typesWholeText() const override { return true; }
  bool isButtonDown(int button) override;
  // The CLIPBOARD selection, held by a window of this poster until another program copies.
  bool setClipboard(std::string_view utf8) override;
  // Through the same window, which sees the selection change hands (XFixes).
  bool watchClipboard(ClipboardWatcher watcher, std::size_t limit) override;

 private:
  struct Keymap;
  bool typeKeysyms(const std::vector<std::uint32_t>& keysyms);  // lock_ held
  void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);
  bool finish();  // flushes; false when the connection broke
  void drainEvents();

  const std::string display_;
  std::shared_ptr<Connection> x_;
  bool available_ = false;
  std::mutex lock_;       // one request sequence at a time
  unsigned pressed_ = 0;  // X buttons this poster holds, bit per button number; guarded by lock_
  std::vector<xcb_keycode_t> heldKeys_;      // modifier keys it holds down; guarded by lock_
  std::unique_ptr<X11Clipboard> clipboard_;  // made at the first use; guarded by lock_
};

}  // namespace tavelin::x11
