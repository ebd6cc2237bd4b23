#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/InputServicing.hpp"
#include "TavelinKit/Model/PortalCoordinateMapper.hpp"

namespace tavelin {

// Replays a phone's gestures as real mouse and keyboard events, and brings a window to the
// front. The application makes one and gives each portal its own copy (forPortal): copies
// share the desktop but keep their own scroll remainder and the buttons they hold. Callable
// from any thread; one portal's gestures come from one thread at a time.
class InputService final : public InputServicing {
 public:
  // Pixels per unit of a phone's scroll delta, and the limit of one delta.
  static constexpr double scrollFactor = 26;
  static constexpr double scrollLimit = 100;
  // Most UTF-16 units one key event types.
  static constexpr std::size_t textChunkUnits = 16;

  // The poster is required; without the other three, nothing is ever raised.
  struct Desktop {
    std::shared_ptr<EventPoster> poster;
    std::shared_ptr<WindowServer> windows;
    std::shared_ptr<ApplicationRegistry> applications;
    std::shared_ptr<WindowControl> control;
  };

  InputService(Desktop desktop, HostLogSink log);
  ~InputService() override;

  std::shared_ptr<InputService> forPortal() const;

  void movePointer(const ScreenPoint& to) override;
  void leftClick(const ScreenPoint& at) override;
  void doubleClick(const ScreenPoint& at) override;
  void rightClick(const ScreenPoint& at) override;
  void pointerDown(const ScreenPoint& at, MouseButton button) override;
  void pointerMove(const ScreenPoint& to) override;
  void pointerUp(const ScreenPoint& at, MouseButton button) override;
  void scroll(const ScreenPoint& at, double deltaX, double deltaY) override;
  void keyPress(SpecialKey key) override;
  void typeText(const std::string& text) override;
  // The desktop's clipboard becomes `text` (a phone's paste field); logged where it cannot.
  void setClipboard(const std::string& text);
  using InputServicing::pointerDown;
  using InputServicing::pointerUp;

  // What raising a window did: the window's application was activated or the window itself
  // raised, and whether the window was in front of the others before (then nothing moved, and
  // nothing needs time to settle); or neither could be done.
  enum class Raise { failed, alreadyInFront, raised };
  Raise raiseWindow(WindowID windowID);

  // Lets go of every button this copy pressed and has not released (a stroke cut short).
  void releaseHeldButtons();
  // Presses and releases modifier keys until exactly `wanted` are held by this copy; 0 lets
  // go of all of them.
  void holdModifiers(Modifiers wanted);

  static std::uint16_t virtualKeyCode(SpecialKey key);
  static std::uint16_t virtualKeyCode(Modifier modifier);
  // UTF-16 units in chunks of at most `textChunkUnits`, never parting a surrogate pair.
  static std::vector<std::u16string> textChunks(std::string_view utf8);

 private:
  void post(MouseEventType type, const ScreenPoint& at, int button, int clickState);
  bool raiseViaWindowControl(std::int32_t processID, const LiveWindow& window);

  const Desktop desktop_;
  const HostLogSink log_;
  std::mutex lock_;
  ScrollCarry carry_;                  // guarded by lock_
  unsigned heldButtons_ = 0;           // bit per button number; guarded by lock_
  Modifiers heldModifiers_ = 0;        // guarded by lock_
  std::optional<ScreenPoint> lastAt_;  // where the pointer was last put; guarded by lock_
};

}  // namespace tavelin
