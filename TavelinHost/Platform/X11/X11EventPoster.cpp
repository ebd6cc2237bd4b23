#include "TavelinHost/Platform/X11/X11EventPoster.hpp"

#include <xcb/xtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include "TavelinHost/Platform/KeySymbols.hpp"

namespace tavelin::x11 {

namespace {

using keys::keysymFor;
using keys::keysymOfVirtualKey;
using keys::noSymbol;
using keys::shiftLeft;
using keys::wheelClicks;

std::uint8_t xButton(int button) {
  switch (button) {
    case rightButton: return 3;
    case middleButton: return 2;
    default: return 1;
  }
}

std::int16_t coordinate(double value) {
  return static_cast<std::int16_t>(std::clamp<std::int64_t>(roundToInteger(value), -32768, 32767));
}

}  // namespace

// The keyboard mapping, asked which keycode types what.
struct X11EventPoster::Keymap : Connection::KeyboardMapping {
  static std::optional<Keymap> read(Connection& x) {
    auto mapping = x.keyboardMapping();
    if (!mapping) return std::nullopt;
    return Keymap{std::move(*mapping)};
  }
  int keycodes() const {
    return perKeycode > 0 ? static_cast<int>(keysyms.size()) / perKeycode : 0;
  }
  std::uint32_t at(int index, int column) const {
    return keysyms[static_cast<std::size_t>(index * perKeycode + column)];
  }
  // The keycode typing `keysym` and whether Shift is needed; nothing when it takes more.
  std::optional<std::pair<xcb_keycode_t, bool>> find(std::uint32_t keysym) const {
    for (int column = 0; column < std::min(perKeycode, 2); ++column) {
      for (int index = 0; index < keycodes(); ++index) {
        if (at(index, column) == keysym) {
          return std::pair{static_cast<xcb_keycode_t>(first + index), column == 1};
        }
      }
    }
    return std::nullopt;
  }
  // Keycodes with no symbol at all, free to lend to a character for a moment.
  std::vector<xcb_keycode_t> spare() const {
    std::vector<xcb_keycode_t> free;
    for (int index = 0; index < keycodes(); ++index) {
      bool empty = true;
      for (int column = 0; column < perKeycode; ++column)
        empty = empty && at(index, column) == noSymbol;
      if (empty) free.push_back(static_cast<xcb_keycode_t>(first + index));
    }
    return free;
  }
};

X11EventPoster::X11EventPoster(std::string display)
    : display_(std::move(display)), x_(Connection::open(display_)) {
  if (!x_) return;
  const auto* test = xcb_get_extension_data(x_->get(), &xcb_test_id);
  available_ = test != nullptr && test->present;
}

X11EventPoster::~X11EventPoster() {
  if (!available_) return;
  std::lock_guard guard(lock_);
  for (int button = 1; button <= 3; ++button) {  // never leave a button held behind
    if (pressed_ & (1u << button)) fake(XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(button));
  }
  for (const xcb_keycode_t keycode : heldKeys_) fake(XCB_KEY_RELEASE, keycode);  // nor a key
  finish();
}

void X11EventPoster::fake(std::uint8_t type, std::uint8_t detail, std::int16_t x, std::int16_t y) {
  xcb_test_fake_input(x_->get(), type, detail, XCB_CURRENT_TIME,
                      type == XCB_MOTION_NOTIFY ? x_->root() : XCB_NONE, x, y, 0);
}

bool X11EventPoster::finish() {
  xcb_flush(x_->get());
  return xcb_connection_has_error(x_->get()) == 0;
}

void X11EventPoster::drainEvents() {
  // Keymap changes notify every client, this one too; nobody reads them here.
  while (auto* event = xcb_poll_for_event(x_->get())) std::free(event);
}

bool X11EventPoster::mouse(MouseEventType type, const ScreenPoint& at, int button, int) {
  if (!available_) return false;
  std::lock_guard guard(lock_);
  fake(XCB_MOTION_NOTIFY, 0, coordinate(at.x), coordinate(at.y));  // detail 0: absolute
  const std::uint8_t number = xButton(button);
  switch (type) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
    case MouseEventType::otherMouseDown:
      fake(XCB_BUTTON_PRESS, number);
      pressed_ |= 1u << number;
      break;
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
    case MouseEventType::otherMouseUp:
      fake(XCB_BUTTON_RELEASE, number);
      pressed_ &= ~(1u << number);
      break;
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
    case MouseEventType::rightMouseDragged: break;  // motion with a button held is a drag on X11
  }
  return finish();
}

bool X11EventPoster::isButtonDown(int button) {
  std::lock_guard guard(lock_);
  return (pressed_ & (1u << xButton(button))) != 0;
}

bool X11EventPoster::scrollWheel(std::int32_t vertical, std::int32_t horizontal,
                                 ScrollCarry& carry) {
  if (!available_) return false;
  const int down = wheelClicks(carry.vertical, vertical);
  const int across = wheelClicks(carry.horizontal, horizontal);
  std::lock_guard guard(lock_);
  auto click = [&](std::uint8_t wheelButton, int times) {
    for (int i = 0; i < times; ++i) {
      fake(XCB_BUTTON_PRESS, wheelButton);
      fake(XCB_BUTTON_RELEASE, wheelButton);
    }
  };
  click(down > 0 ? 4 : 5, std::abs(down));      // 4: up
  click(across > 0 ? 6 : 7, std::abs(across));  // 6: left
  return finish();
}

bool X11EventPoster::keyPress(std::uint16_t virtualKey) {
  const std::uint32_t keysym = keysymOfVirtualKey(virtualKey);
  if (!available_ || keysym == noSymbol) return false;
  std::lock_guard guard(lock_);
  return typeKeysyms({keysym});
}

bool X11EventPoster::modifierKey(std::uint16_t virtualKey, bool down) {
  const std::uint32_t keysym = keysymOfVirtualKey(virtualKey);
  if (!available_ || keysym == noSymbol) return false;
  std::lock_guard guard(lock_);
  drainEvents();
  const auto keymap = Keymap::read(*x_);
  const auto found = keymap ? keymap->find(keysym) : std::nullopt;
  if (!found) return false;
  const xcb_keycode_t keycode = found->first;
  const auto held = std::find(heldKeys_.begin(), heldKeys_.end(), keycode);
  if (down && held == heldKeys_.end()) heldKeys_.push_back(keycode);
  if (!down && held != heldKeys_.end()) heldKeys_.erase(held);
  fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode);
  return finish();
}

bool X11EventPoster::setClipboard(std::string_view utf8) {
  std::lock_guard guard(lock_);
  if (!clipboard_) clipboard_ = X11Clipboard::open(display_);
  return clipboard_ && clipboard_->set(std::string(utf8));
}

bool X11EventPoster::watchClipboard(ClipboardWatcher watcher, std::size_t limit) {
  std::lock_guard guard(lock_);
  if (!clipboard_) clipboard_ = X11Clipboard::open(display_);
  return clipboard_ && clipboard_->watch(std::move(watcher), limit);
}

bool X11EventPoster::typeUnits(std::u16string_view units) {
  if (!available_) return false;
  std::vector<std::uint32_t> keysyms;
  for (const char32_t character : keys::charactersOf(units)) {
    if (const auto keysym = keysymFor(character); keysym != noSymbol) keysyms.push_back(keysym);
  }
  if (keysyms.empty()) return true;
  std::lock_guard guard(lock_);
  return typeKeysyms(keysyms);
}

// Keys the keymap has are pressed as they are (with Shift for their second level); the others
// borrow spare keycodes, as many at a time as there are spares: bind, wait for clients to
// reload their keymaps, type, wait again, restore.
bool X11EventPoster::typeKeysyms(const std::vector<std::uint32_t>& keysyms) {
  drainEvents();
  const auto keymap = Keymap::read(*x_);
  if (!keymap || keymap->perKeycode < 1) return false;
  const auto shift = keymap->find(shiftLeft);
  const auto spares = keymap->spare();

  struct Press {
    xcb_keycode_t keycode;
    bool shifted;
  };
  std::vector<Press> presses;
  std::map<std::uint32_t, xcb_keycode_t> borrowed;
  bool typedAll = true;

  auto type = [&] {
    const bool rebinding = !borrowed.empty();
    for (const auto& [keysym, keycode] : borrowed) {
      // The character on both levels, so a held Shift cannot change it.
      std::vector<std::uint32_t> row(static_cast<std::size_t>(keymap->perKeycode), noSymbol);
      std::fill_n(row.begin(), std::min<std::size_t>(2, row.size()), keysym);
      xcb_change_keyboard_mapping(x_->get(), 1, keycode,
                                  static_cast<std::uint8_t>(keymap->perKeycode), row.data());
    }
    if (rebinding) {
      x_->sync();
      std::this_thread::sleep_for(keymapSettleTime);
    }
    for (const auto& press : presses) {
      if (press.shifted) fake(XCB_KEY_PRESS, shift->first);
      fake(XCB_KEY_PRESS, press.keycode);
      fake(XCB_KEY_RELEASE, press.keycode);
      if (press.shifted) fake(XCB_KEY_RELEASE, shift->first);
    }
    if (rebinding) {
      x_->sync();
      std::this_thread::sleep_for(keymapSettleTime);
      const std::vector<std::uint32_t> empty(static_cast<std::size_t>(keymap->perKeycode),
                                             noSymbol);
      for (const auto& entry : borrowed) {
        xcb_change_keyboard_mapping(x_->get(), 1, entry.second,
                                    static_cast<std::uint8_t>(keymap->perKeycode), empty.data());
      }
    }
    x_->sync();
    presses.clear();
    borrowed.clear();
  };

  for (const std::uint32_t keysym : keysyms) {
    if (auto found = keymap->find(keysym); found && (!found->second || shift)) {
      presses.push_back({found->first, found->second});
      continue;
    }
    auto binding = borrowed.find(keysym);
    if (binding == borrowed.end()) {
      if (spares.empty()) {
        typedAll = false;  // a keymap without a single free keycode: the character is lost
        continue;
      }
      if (borrowed.size() == spares.size()) type();
      binding = borrowed.emplace(keysym, spares[borrowed.size()]).first;
    }
    presses.push_back({binding->second, false});
  }
  type();
  drainEvents();
  return typedAll && finish();
}

}  // namespace tavelin::x11
