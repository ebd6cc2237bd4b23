#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/Geometry.hpp"

struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_v1;

namespace tavelin::wayland {

class WlrootsClipboard;
class WlrootsConnection;

// Where an absolute pointer motion lands: the point of the layout as a fraction of the
// layout's bounding box, which is what the virtual pointer's extent measures. A point off every
// output goes to the nearest edge of the box. Nothing without outputs.
struct AbsoluteMotion {
  std::uint32_t x = 0, y = 0, xExtent = 0, yExtent = 0;
};
std::optional<AbsoluteMotion> absoluteMotion(const std::vector<ScreenRect>& outputs,
                                             const ScreenPoint& at);

// Input into a wlroots compositor through a virtual pointer and a virtual keyboard of our own,
// made once and kept for the host's run (a fresh device loses its first event, so each settles
// before its first use). Text is typed exactly, whatever the user's layout: the keyboard takes
// a keymap of our own with a key for each character of the text, then the plain keymap again.
// Callable from any thread.
class WlrootsInput final : public EventPoster {
 public:
  WlrootsInput(std::shared_ptr<WlrootsConnection> connection, HostLogSink log);
  ~WlrootsInput() override;

  bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) override;
  bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) override;
  bool keyPress(std::uint16_t virtualKey) override;
  // Held modifiers are the keyboard's modifier state (Shift, Control, Mod1, Mod4), which every
  // keymap it uploads keeps.
  bool modifierKey(std::uint16_t virtualKey, bool down) override;
  bool typeUnits(std::u16string_view units) override;
  // One keymap for all of a message's characters, as far as a keymap holds them.
  bool typesWholeText() const override { return true; }
  bool isButtonDown(int button) override;
  // Through data control, where the compositor has it.
  bool setClipboard(std::string_view utf8) override;
  bool watchClipboard(ClipboardWatcher watcher, std::size_t limit) override;

 private:
  // On the connection's thread.
  bool pointer();
  bool keyboard();
  bool useKeymap(const std::string& text);
  bool typeKeysyms(const std::vector<std::uint32_t>& keysyms);
  bool button(int number, bool pressed);
  std::uint32_t now() const;

  const std::shared_ptr<WlrootsConnection> connection_;
  const HostLogSink log_;
  std::mutex lock_;       // one event sequence at a time
  unsigned pressed_ = 0;  // guarded by lock_: our buttons held, a bit each
  // The devices and the keymap they have; on the connection's thread.
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  zwp_virtual_keyboard_v1* keyboard_ = nullptr;
  std::uint32_t modifiers_ = 0;  // the depressed modifier mask; on the connection's thread
  std::string keymap_;
  std::unique_ptr<WlrootsClipboard> clipboard_;  // nothing without data control
};

}  // namespace tavelin::wayland
