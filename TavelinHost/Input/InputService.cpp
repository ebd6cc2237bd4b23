#include "TavelinHost/Input/InputService.hpp"

#include <algorithm>
#include <cmath>
#include <utf8proc.h>
#include <utility>

namespace tavelin {

namespace {

int buttonNumber(MouseButton button) {
  switch (button) {
    case MouseButton::left: return leftButton;
    case MouseButton::right: return rightButton;
    case MouseButton::middle: return middleButton;
  }
  return leftButton;
}

MouseEventType pressType(MouseButton button, bool down) {
  switch (button) {
    case MouseButton::left:
      return down ? MouseEventType::leftMouseDown : MouseEventType::leftMouseUp;
    case MouseButton::right:
      return down ? MouseEventType::rightMouseDown : MouseEventType::rightMouseUp;
    case MouseButton::middle:
      return down ? MouseEventType::otherMouseDown : MouseEventType::otherMouseUp;
  }
  return down ? MouseEventType::leftMouseDown : MouseEventType::leftMouseUp;
}

std::int32_t wheelPixels(double delta) {
  const double clamped = std::clamp(delta, -InputService::scrollLimit, InputService::scrollLimit);
  return static_cast<std::int32_t>(roundToInteger(clamped * InputService::scrollFactor));
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

InputService::InputService(Desktop desktop, HostLogSink log)
    : desktop_(std::move(desktop)), log_(std::move(log)) {}

InputService::~InputService() {
  releaseHeldButtons();
  holdModifiers(0);
}

std::shared_ptr<InputService> InputService::forPortal() const {
  return std::make_shared<InputService>(desktop_, log_);
}

std::uint16_t InputService::virtualKeyCode(SpecialKey key) {
  switch (key) {
    case SpecialKey::enter: return VirtualKey::returnKey;
    case SpecialKey::backspace: return VirtualKey::deleteBackward;
    case SpecialKey::tab: return VirtualKey::tab;
    case SpecialKey::escape: return VirtualKey::escape;
    case SpecialKey::deleteKey: return VirtualKey::forwardDelete;
    case SpecialKey::arrowLeft: return VirtualKey::leftArrow;
    case SpecialKey::arrowRight: return VirtualKey::rightArrow;
    case SpecialKey::arrowUp: return VirtualKey::upArrow;
    case SpecialKey::arrowDown: return VirtualKey::downArrow;
    case SpecialKey::home: return VirtualKey::home;
    case SpecialKey::end: return VirtualKey::end;
    case SpecialKey::pageUp: return VirtualKey::pageUp;
    case SpecialKey::pageDown: return VirtualKey::pageDown;
    case SpecialKey::f1: return VirtualKey::f1;
    case SpecialKey::f2: return VirtualKey::f2;
    case SpecialKey::f3: return VirtualKey::f3;
    case SpecialKey::f4: return VirtualKey::f4;
    case SpecialKey::f5: return VirtualKey::f5;
    case SpecialKey::f6: return VirtualKey::f6;
    case SpecialKey::f7: return VirtualKey::f7;
    case SpecialKey::f8: return VirtualKey::f8;
    case SpecialKey::f9: return VirtualKey::f9;
    case SpecialKey::f10: return VirtualKey::f10;
    case SpecialKey::f11: return VirtualKey::f11;
    case SpecialKey::f12: return VirtualKey::f12;
    case SpecialKey::insert: return VirtualKey::insert;
    case SpecialKey::print: return VirtualKey::print;
    case SpecialKey::menu: return VirtualKey::menu;
  }
  return VirtualKey::returnKey;
}

std::uint16_t InputService::virtualKeyCode(Modifier modifier) {
  switch (modifier) {
    case Modifier::ctrl: return VirtualKey::control;
    case Modifier::alt: return VirtualKey::option;
    case Modifier::shift: return VirtualKey::shift;
    case Modifier::super: return VirtualKey::command;
  }
  return VirtualKey::shift;
}

// Releases come first, so that going from one set to another never holds both.
void InputService::holdModifiers(Modifiers wanted) {
  Modifiers held = 0;
  {
    std::lock_guard guard(lock_);
    held = heldModifiers_;
    heldModifiers_ = wanted;
  }
  if (held == wanted) return;
  bool posted = true;
  for (const bool down : {false, true}) {
    for (const Modifier modifier : allModifiers) {
      const bool isHeld = (held & bit(modifier)) != 0;
      const bool isWanted = (wanted & bit(modifier)) != 0;
      if (isHeld != isWanted && isWanted == down) {
        posted = desktop_.poster->modifierKey(virtualKeyCode(modifier), down) && posted;
      }
    }
  }
  if (!posted && log_) log_("Input", "Input error: could not create a modifier key event");
}

std::vector<std::u16string> InputService::textChunks(std::string_view utf8) {
  std::u16string units;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  auto left = static_cast<utf8proc_ssize_t>(utf8.size());
  while (left > 0) {
    utf8proc_int32_t point = 0;
    const auto read = utf8proc_iterate(bytes, left, &point);
    if (read <= 0) {  // not UTF-8: skip the byte rather than type garbage
      ++bytes, --left;
      continue;
    }
    bytes += read, left -= read;
    if (point >= 0x10000) {
      point -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(point));
    }
  }
  std::vector<std::u16string> chunks;
  for (std::size_t at = 0; at < units.size();) {
    std::size_t length = std::min(textChunkUnits, units.size() - at);
    // A pair cut in two would type two broken halves: the high half waits for the next chunk.
    if (length == textChunkUnits && at + length < units.size() &&
        isHighSurrogate(units[at + length - 1])) {
      --length;
    }
    chunks.push_back(units.substr(at, length));
    at += length;
  }
  return chunks;
}

void InputService::post(MouseEventType type, const ScreenPoint& at, int button, int clickState) {
  if (!desktop_.poster->mouse(type, at, button, clickState)) {
    if (log_) log_("Input", "Input error: could not create a mouse event");
  }
}

void InputService::movePointer(const ScreenPoint& to) {
  post(MouseEventType::mouseMoved, to, leftButton, 0);
}

void InputService::leftClick(const ScreenPoint& at) {
  post(MouseEventType::leftMouseDown, at, leftButton, 1);
  post(MouseEventType::leftMouseUp, at, leftButton, 1);
}

void InputService::doubleClick(const ScreenPoint& at) {
  post(MouseEventType::leftMouseDown, at, leftButton, 1);
  post(MouseEventType::leftMouseUp, at, leftButton, 1);
  post(MouseEventType::leftMouseDown, at, leftButton, 2);
  post(MouseEventType::leftMouseUp, at, leftButton, 2);
}

void InputService::rightClick(const ScreenPoint& at) {
  post(MouseEventType::rightMouseDown, at, rightButton, 1);
  post(MouseEventType::rightMouseUp, at, rightButton, 1);
}

void InputService::pointerDown(const ScreenPoint& at, MouseButton button) {
  const int number = buttonNumber(button);
  post(pressType(button, true), at, number, 1);
  std::lock_guard guard(lock_);
  heldButtons_ |= 1u << number;
  lastAt_ = at;
}

void InputService::pointerMove(const ScreenPoint& to) {
  if (desktop_.poster->isButtonDown(leftButton)) {
    post(MouseEventType::leftMouseDragged, to, leftButton, 0);
  } else if (desktop_.poster->isButtonDown(rightButton)) {
    post(MouseEventType::rightMouseDragged, to, rightButton, 0);
  } else {
    post(MouseEventType::mouseMoved, to, leftButton, 0);
  }
  std::lock_guard guard(lock_);
  lastAt_ = to;
}

void InputService::pointerUp(const ScreenPoint& at, MouseButton button) {
  const int number = buttonNumber(button);
  post(pressType(button, false), at, number, 1);
  std::lock_guard guard(lock_);
  heldButtons_ &= ~(1u << number);
}

void InputService::releaseHeldButtons() {
  unsigned held = 0;
  ScreenPoint at;
  {
    std::lock_guard guard(lock_);
    held = std::exchange(heldButtons_, 0u);
    at = lastAt_.value_or(ScreenPoint{});
  }
  for (const MouseButton button : {MouseButton::left, MouseButton::right, MouseButton::middle}) {
    const int number = buttonNumber(button);
    if (held & (1u << number)) post(pressType(button, false), at, number, 1);
  }
}

void InputService::scroll(const ScreenPoint& at, double deltaX, double deltaY) {
  post(MouseEventType::mouseMoved, at, leftButton, 0);
  const std::int32_t vertical = wheelPixels(deltaY);
  const std::int32_t horizontal = wheelPixels(deltaX);
  if (vertical == 0 && horizontal == 0) return;
  ScrollCarry carry;
  {
    std::lock_guard guard(lock_);
    carry = carry_;
  }
  desktop_.poster->scrollWheel(vertical, horizontal, carry);  // a failure is not logged
  std::lock_guard guard(lock_);
  carry_ = carry;
}

void InputService::keyPress(SpecialKey key) {
  if (!desktop_.poster->keyPress(virtualKeyCode(key))) {
    if (log_) log_("Input", "Input error: could not create a key event");
  }
}

void InputService::typeText(const std::string& text) {
  if (desktop_.poster->typesWholeText()) {
    std::u16string units;
    for (const auto& chunk : textChunks(text)) units += chunk;
    desktop_.poster->typeUnits(units);
    return;
  }
  for (const auto& chunk : textChunks(text)) desktop_.poster->typeUnits(chunk);
}

void InputService::setClipboard(const std::string& text) {
  if (desktop_.poster->setClipboard(text)) return;
  if (log_) log_("Input", "Input error: this desktop's clipboard could not be set");
}

InputService::Raise InputService::raiseWindow(WindowID windowID) {
  if (!desktop_.windows || !desktop_.applications || !desktop_.control) return Raise::failed;
  const auto window = desktop_.windows->window(windowID);
  if (!window || window->ownerProcessID == 0) return Raise::failed;
  // Front to back: the first ordinary window is the one in front, whoever's it is.
  const auto stacked = desktop_.windows->onScreenWindows();
  const auto front = std::find_if(stacked.begin(), stacked.end(),
                                  [](const LiveWindow& w) { return w.layer == 0; });
  const bool inFront = front != stacked.end() && front->windowID == windowID;
  // Asked all the same: the window in front may not have the keyboard.
  const bool activated = desktop_.applications->activate(window->ownerProcessID);
  const bool raised = raiseViaWindowControl(window->ownerProcessID, *window);
  if (activated || raised) return inFront ? Raise::alreadyInFront : Raise::raised;
  if (log_) log_("Input", "Input error: could not raise the target window");
  return Raise::failed;
}

// The window among its application's windows: by its exact title, else by a top-left corner
// within 2 points.
bool InputService::raiseViaWindowControl(std::int32_t processID, const LiveWindow& window) {
  auto& control = *desktop_.control;
  if (!control.isTrusted()) return false;
  const auto candidates = control.windows(processID);
  if (!candidates || candidates->empty()) return false;
  for (const auto& candidate : *candidates) {
    bool matches = false;
    if (!window.name.empty() && candidate.title == window.name) {
      matches = true;
    } else if (candidate.position) {
      matches = std::abs(candidate.position->x - window.bounds.x) < 2 &&
                std::abs(candidate.position->y - window.bounds.y) < 2;
    }
    if (matches) return control.raise(candidate.handle);
  }
  return false;
}

}  // namespace tavelin
