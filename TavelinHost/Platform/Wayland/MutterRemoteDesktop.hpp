#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "TavelinHost/Platform/Wayland/PointerPlacement.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

struct sd_bus_message;

namespace tavelin::wayland {

class SessionBus;
class TextDelivery;

// Real input on a GNOME desktop through Mutter's RemoteDesktop session: absolute pointer motion
// on a screen cast of each monitor (Mutter places the pointer in a stream's coordinates),
// buttons, wheel clicks and keys by keysym. Text the layout cannot type goes through the
// clipboard (TextDelivery). One session for the host's run, made and settled before the first
// event; callable from any thread. Monitors that appear later (a virtual display) are followed
// from Mutter's MonitorsChanged but get no stream of their own: a monitor recorded in the
// session that goes away again ends the whole session, and with it all input.
class MutterRemoteDesktop final : public EventPoster {
 public:
  // Nothing, with the reason in `why`, when Mutter will not give a session.
  static std::shared_ptr<MutterRemoteDesktop> open(std::shared_ptr<SessionBus> bus,
                                                   std::shared_ptr<MutterDisplays> displays,
                                                   HostLogSink log, std::string& why);
  ~MutterRemoteDesktop() override;

  bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) override;
  bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) override;
  bool keyPress(std::uint16_t virtualKey) override;
  bool modifierKey(std::uint16_t virtualKey, bool down) override;
  bool typeUnits(std::u16string_view units) override;
  bool isButtonDown(int button) override;
  bool setClipboard(std::string_view utf8) override;
  bool watchClipboard(ClipboardWatcher watcher, std::size_t limit) override;

  // Presses or releases one keysym; for TextDelivery's paste chord.
  bool keysym(std::uint32_t keysym, bool pressed);

 private:
  struct Stream {
    std::string path;  // the screen cast stream the pointer moves on
    PointerMonitor monitor;
  };
  MutterRemoteDesktop(std::shared_ptr<SessionBus> bus, std::shared_ptr<MutterDisplays> displays,
                      HostLogSink log);
  bool begin(std::string& why);
  bool recordMonitors(std::string& why);
  bool call(const char* member, const std::function<int(sd_bus_message*)>& arguments);
  bool moveTo(const ScreenPoint& at);
  void followLayout();
  bool button(int button, bool pressed);

  const std::shared_ptr<SessionBus> bus_;
  const std::shared_ptr<MutterDisplays> displays_;
  const HostLogSink log_;
  std::string session_;                     // the RemoteDesktop session's object path
  std::string screenCast_;                  // its screen cast session
  std::mutex lock_;                         // one event sequence at a time
  std::vector<Stream> streams_;             // guarded by lock_
  std::vector<PointerMonitor> layout_;      // guarded by lock_: every monitor as last read
  std::atomic<bool> layoutChanged_{false};  // set on the bus thread by MonitorsChanged
  unsigned pressed_ = 0;                    // our buttons held, bit per button; guarded by lock_
  std::atomic<bool> closed_{false};         // set on the bus thread, which must not wait for lock_
  std::shared_ptr<void> closedSignal_, monitorsChanged_;
  std::unique_ptr<TextDelivery> text_;
};

}  // namespace tavelin::wayland
