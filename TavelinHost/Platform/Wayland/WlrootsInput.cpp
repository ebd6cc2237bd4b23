#include "TavelinHost/Platform/Wayland/WlrootsInput.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <wayland-client.h>

#include "TavelinHost/Platform/KeySymbols.hpp"
#include "TavelinHost/Platform/Wayland/TypingKeymap.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsClipboard.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsConnection.hpp"
#include "virtual-keyboard-unstable-v1.h"
#include "wlr-virtual-pointer-unstable-v1.h"

namespace tavelin::wayland {

namespace {

// A fresh device is known to the seat's clients a short while after it exists; its first
// event is lost before that.
constexpr std::chrono::milliseconds deviceSettleTime{100};

// What the keyboard types without a keymap of the text's own: the keys a phone sends and the
// printable characters of Latin-1.
const std::vector<std::uint32_t>& plainKeysyms() {
  static const std::vector<std::uint32_t> keysyms = [] {
    std::vector<std::uint32_t> all;
    for (const std::uint16_t key :
         {VirtualKey::returnKey, VirtualKey::deleteBackward, VirtualKey::tab, VirtualKey::escape,
          VirtualKey::forwardDelete, VirtualKey::leftArrow, VirtualKey::rightArrow,
          VirtualKey::upArrow, VirtualKey::downArrow, VirtualKey::home, VirtualKey::end,
          VirtualKey::pageUp, VirtualKey::pageDown}) {
      all.push_back(keys::keysymOfVirtualKey(key));
    }
    for (std::uint32_t c = 0x20; c <= 0x7e; ++c) all.push_back(c);
    for (std::uint32_t c = 0xa0; c <= 0xff; ++c) all.push_back(c);
    return all;
  }();
  return keysyms;
}

const TypingKeymap& plainKeymap() {
  static const TypingKeymap keymap = typingKeymap(plainKeysyms());
  return keymap;
}

}  // namespace

std::optional<AbsoluteMotion> absoluteMotion(const std::vector<ScreenRect>& outputs,
                                             const ScreenPoint& at) {
  if (outputs.empty()) return std::nullopt;
  ScreenRect box = outputs.front();
  for (const auto& output : outputs) {
    box = ScreenRect::fromLTRB(std::min(box.x, output.x), std::min(box.y, output.y),
                               std::max(box.right(), output.right()),
                               std::max(box.bottom(), output.bottom()));
  }
  const auto width = static_cast<std::uint32_t>(std::lround(box.width));
  const auto height = static_cast<std::uint32_t>(std::lround(box.height));
  if (width == 0 || height == 0) return std::nullopt;
  const auto along = [](double value, double origin, std::uint32_t extent) {
    return static_cast<std::uint32_t>(
        std::clamp<double>(std::floor(value - origin), 0, static_cast<double>(extent - 1)));
  };
  return AbsoluteMotion{along(at.x, box.x, width), along(at.y, box.y, height), width, height};
}

WlrootsInput::WlrootsInput(std::shared_ptr<WlrootsConnection> connection, HostLogSink log)
    : connection_(std::move(connection)), log_(std::move(log)) {
  // Made now, so that the first phone's first tap is not the one a fresh device loses.
  connection_->call([this] {
    pointer();
    keyboard();
  });
  clipboard_ = WlrootsClipboard::make(connection_);
}

bool WlrootsInput::setClipboard(std::string_view utf8) {
  return clipboard_ && clipboard_->set(std::string(utf8));
}

bool WlrootsInput::watchClipboard(ClipboardWatcher watcher, std::size_t limit) {
  if (!clipboard_) return false;
  clipboard_->watch(std::move(watcher), limit);
  return true;
}

WlrootsInput::~WlrootsInput() {
  std::lock_guard guard(lock_);
  connection_->call([this] {
    for (int number = 0; number < 3; ++number) {  // never leave a button held behind
      if (pressed_ & (1u << number)) button(number, false);
    }
    if (pointer_) zwlr_virtual_pointer_v1_destroy(pointer_);
    if (keyboard_) zwp_virtual_keyboard_v1_destroy(keyboard_);
    pointer_ = nullptr;
    keyboard_ = nullptr;
    wl_display_flush(connection_->display());
  });
}

std::uint32_t WlrootsInput::now() const {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

bool WlrootsInput::pointer() {
  if (pointer_) return true;
  auto* manager = connection_->pointerManager();
  if (!manager) return false;
  pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, connection_->seat());
  connection_->roundtrip();
  std::this_thread::sleep_for(deviceSettleTime);
  return pointer_ != nullptr;
}

bool WlrootsInput::keyboard() {
  if (keyboard_) return true;
  auto* manager = connection_->keyboardManager();
  if (!manager || !connection_->seat()) return false;
  keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, connection_->seat());
  if (!useKeymap(plainKeymap().text)) return false;
  std::this_thread::sleep_for(deviceSettleTime);
  return true;
}

bool WlrootsInput::useKeymap(const std::string& text) {
  if (!keyboard_) return false;
  if (keymap_ == text) return true;
  const std::size_t size = text.size() + 1;  // with its nul
  const int fd = ::memfd_create("tavelin-keymap", MFD_CLOEXEC);
  if (fd < 0) return false;
  bool written = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  if (written) {
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    written = mapped != MAP_FAILED;
    if (written) {
      std::copy(text.begin(), text.end(), static_cast<char*>(mapped));
      static_cast<char*>(mapped)[text.size()] = '\0';
      ::munmap(mapped, size);
    }
  }
  if (written) {
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(size));
    zwp_virtual_keyboard_v1_modifiers(keyboard_, modifiers_, 0, 0, 0);
  }
  ::close(fd);
  // The compositor has the keymap, and has told the focused client, before any key of it.
  if (!written || !connection_->roundtrip()) return false;
  keymap_ = text;
  return true;
}

bool WlrootsInput::typeKeysyms(const std::vector<std::uint32_t>& keysyms) {
  const TypingKeymap& plain = plainKeymap();
  const bool plainTypes = std::all_of(keysyms.begin(), keysyms.end(),
                                      [&](std::uint32_t k) { return plain.keys.contains(k); });
  const TypingKeymap own = plainTypes ? TypingKeymap{} : typingKeymap(keysyms);
  const TypingKeymap& keymap = plainTypes ? plain : own;
  if (!useKeymap(keymap.text)) return false;
  const std::uint32_t time = now();
  for (const std::uint32_t keysym : keysyms) {
    const auto key = keymap.keys.find(keysym);
    if (key == keymap.keys.end()) return false;
    zwp_virtual_keyboard_v1_key(keyboard_, time, key->second, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(keyboard_, time, key->second, WL_KEYBOARD_KEY_STATE_RELEASED);
  }
  return connection_->roundtrip();
}

bool WlrootsInput::button(int number, bool pressed) {
  if (!pointer()) return false;
  zwlr_virtual_pointer_v1_button(
      pointer_, now(), static_cast<std::uint32_t>(keys::evdevButton(number)),
      pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(pointer_);
  const unsigned bit = 1u << std::clamp(number, 0, 2);
  pressed_ = pressed ? pressed_ | bit : pressed_ & ~bit;
  return true;
}

bool WlrootsInput::mouse(MouseEventType type, const ScreenPoint& at, int number, int) {
  std::vector<ScreenRect> outputs;
  for (const auto& output : connection_->outputs()) outputs.push_back(output.bounds);
  const auto motion = absoluteMotion(outputs, at);
  if (!motion) return false;
  std::lock_guard guard(lock_);
  bool sent = false;
  connection_->call([&] {
    if (!pointer()) return;
    zwlr_virtual_pointer_v1_motion_absolute(pointer_, now(), motion->x, motion->y, motion->xExtent,
                                            motion->yExtent);
    zwlr_virtual_pointer_v1_frame(pointer_);
    switch (type) {
      case MouseEventType::leftMouseDown:
      case MouseEventType::rightMouseDown:
      case MouseEventType::otherMouseDown: sent = button(number, true); break;
      case MouseEventType::leftMouseUp:
      case MouseEventType::rightMouseUp:
      case MouseEventType::otherMouseUp: sent = button(number, false); break;
      case MouseEventType::mouseMoved:
      case MouseEventType::leftMouseDragged:
      case MouseEventType::rightMouseDragged: sent = true; break;
    }
    wl_display_flush(connection_->display());
  });
  return sent && connection_->alive();
}

bool WlrootsInput::isButtonDown(int number) {
  std::lock_guard guard(lock_);
  return (pressed_ & (1u << std::clamp(number, 0, 2))) != 0;
}

bool WlrootsInput::scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) {
  // Positive steps scroll down and right on Wayland; ours scroll up and left.
  const int down = -keys::wheelClicks(carry.vertical, vertical);
  const int right = -keys::wheelClicks(carry.horizontal, horizontal);
  if (down == 0 && right == 0) return true;
  std::lock_guard guard(lock_);
  bool sent = false;
  connection_->call([&] {
    if (!pointer()) return;
    const std::uint32_t time = now();
    for (const auto& [axis, steps] :
         {std::pair<std::uint32_t, int>{WL_POINTER_AXIS_VERTICAL_SCROLL, down},
          {WL_POINTER_AXIS_HORIZONTAL_SCROLL, right}}) {
      if (steps == 0) continue;
      zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_WHEEL);
      // A wheel click moves 15 units, as a mouse's does.
      zwlr_virtual_pointer_v1_axis_discrete(pointer_, time, axis, wl_fixed_from_int(15 * steps),
                                            steps);
      zwlr_virtual_pointer_v1_frame(pointer_);
    }
    wl_display_flush(connection_->display());
    sent = true;
  });
  return sent && connection_->alive();
}

bool WlrootsInput::keyPress(std::uint16_t virtualKey) {
  const std::uint32_t keysym = keys::keysymOfVirtualKey(virtualKey);
  if (keysym == keys::noSymbol) return false;
  std::lock_guard guard(lock_);
  bool sent = false;
  connection_->call([&] { sent = keyboard() && typeKeysyms({keysym}); });
  return sent;
}

bool WlrootsInput::modifierKey(std::uint16_t virtualKey, bool down) {
  // xkb's real modifiers, the same in every keymap.
  std::uint32_t mask = 0;
  switch (virtualKey) {
    case VirtualKey::shift: mask = 1; break;
    case VirtualKey::control: mask = 4; break;
    case VirtualKey::option: mask = 8; break;    // Mod1: Alt
    case VirtualKey::command: mask = 64; break;  // Mod4: Super
    default: return false;
  }
  std::lock_guard guard(lock_);
  bool sent = false;
  connection_->call([&] {
    if (!keyboard()) return;
    modifiers_ = down ? (modifiers_ | mask) : (modifiers_ & ~mask);
    zwp_virtual_keyboard_v1_modifiers(keyboard_, modifiers_, 0, 0, 0);
    sent = connection_->roundtrip();
  });
  return sent;
}

bool WlrootsInput::typeUnits(std::u16string_view units) {
  std::size_t untyped = 0;
  const auto batches = typingBatches(keys::charactersOf(units), untyped);
  std::lock_guard guard(lock_);
  bool sent = true;
  connection_->call([&] {
    if (!keyboard()) {
      sent = false;
      return;
    }
    for (const auto& batch : batches) sent = typeKeysyms(batch) && sent;
    // The plain keymap again, for whatever the phone sends next.
    sent = useKeymap(plainKeymap().text) && sent;
  });
  if (!sent && log_) log_("Input", "Input error: the compositor did not take the typed text");
  if (untyped > 0 && log_) {
    log_("Input", "Input error: " + std::to_string(untyped) +
                      (untyped == 1 ? " control character has" : " control characters have") +
                      " no key to type it with, and " + (untyped == 1 ? "was" : "were") +
                      " left out");
  }
  return sent && untyped == 0;
}

}  // namespace tavelin::wayland
