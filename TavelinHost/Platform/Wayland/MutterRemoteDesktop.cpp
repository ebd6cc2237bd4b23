#include "TavelinHost/Platform/Wayland/MutterRemoteDesktop.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "TavelinHost/Platform/KeySymbols.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"
#include "TavelinHost/Platform/Wayland/SessionClipboard.hpp"
#include "TavelinHost/Platform/Wayland/TextDelivery.hpp"

namespace tavelin::wayland {

namespace {

constexpr const char* remoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* screenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";

// A fresh virtual device is not yet part of the seat: the event that makes it is lost, and
// Mutter has it in place a short while later.
constexpr std::chrono::milliseconds deviceSettleTime{150};

}  // namespace

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::open(
    std::shared_ptr<SessionBus> bus, std::shared_ptr<MutterDisplays> displays, HostLogSink log,
    std::string& why) {
  std::shared_ptr<MutterRemoteDesktop> desktop(
      new MutterRemoteDesktop(std::move(bus), std::move(displays), std::move(log)));
  if (!desktop->begin(why)) return nullptr;
  return desktop;
}

MutterRemoteDesktop::MutterRemoteDesktop(std::shared_ptr<SessionBus> bus,
                                         std::shared_ptr<MutterDisplays> displays, HostLogSink log)
    : bus_(std::move(bus)), displays_(std::move(displays)), log_(std::move(log)) {}

bool MutterRemoteDesktop::begin(std::string& why) {
  if (!bus_->call(
          remoteDesktop, "/org/gnome/Mutter/RemoteDesktop", remoteDesktop, "CreateSession", nullptr,
          [&](sd_bus_message* m) { return readObjectPath(m, session_); }, why)) {
    why = "Mutter gives no remote desktop session (" + why + ")";
    return false;
  }
  std::string id;
  if (!bus_->property(
          remoteDesktop, session_, sessionInterface, "SessionId", "s",
          [&](sd_bus_message* m) {
            const char* text = nullptr;
            const int status = sd_bus_message_read(m, "s", &text);
            if (status >= 0 && text) id = text;
            return status;
          },
          why)) {
    why = "Mutter's remote desktop session has no id (" + why + ")";
    return false;
  }
  if (!bus_->call(
          screenCast, "/org/gnome/Mutter/ScreenCast", screenCast, "CreateSession",
          [&](sd_bus_message* m) {
            return appendVariantDictionary(m, [&](sd_bus_message* d) {
              return appendEntry(d, "remote-desktop-session-id", 's', id.c_str());
            });
          },
          [&](sd_bus_message* m) { return readObjectPath(m, screenCast_); }, why)) {
    why = "Mutter gives no screen cast for the pointer (" + why + ")";
    return false;
  }
  // Listening before the layout is read: a change in between is read again on the next motion.
  monitorsChanged_ = displays_->watch([this] { layoutChanged_ = true; });
  if (!recordMonitors(why)) return false;
  closedSignal_ = bus_->subscribe(remoteDesktop, session_, sessionInterface, "Closed",
                                  [this](sd_bus_message*) { closed_ = true; });
  if (!bus_->call(remoteDesktop, session_, sessionInterface, "Start", nullptr, nullptr, why)) {
    why = "Mutter would not start the remote desktop session (" + why + ")";
    return false;
  }
  // Mutter makes the virtual pointer and keyboard on their first events, and loses those: a
  // motion by nothing and a tap of Shift make them, then they settle.
  {
    std::lock_guard guard(lock_);
    const double none = 0;
    call("NotifyPointerMotionRelative",
         [&](sd_bus_message* m) { return sd_bus_message_append(m, "dd", none, none); });
  }
  keysym(keys::shiftLeft, true);
  keysym(keys::shiftLeft, false);
  std::this_thread::sleep_for(deviceSettleTime);
  text_ = std::make_unique<TextDelivery>(bus_, session_, *this);
  return true;
}

// The pointer moves in a stream's coordinates: one stream per monitor, hidden cursor, nobody
// reading its pictures.
bool MutterRemoteDesktop::recordMonitors(std::string& why) {
  const auto monitors = displays_->monitors();
  if (monitors.empty()) {
    why = "Mutter reports no monitor";
    return false;
  }
  const std::uint32_t hidden = 0;
  for (const auto& monitor : monitors) {
    Stream stream{{}, {monitor.connector, monitor.display.bounds, monitor.display.scale}};
    if (!bus_->call(
            screenCast, screenCast_, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
            [&](sd_bus_message* m) {
              int status = sd_bus_message_append(m, "s", monitor.connector.c_str());
              if (status >= 0) {
                status = appendVariantDictionary(m, [&](sd_bus_message* d) {
                  return appendEntry(d, "cursor-mode", 'u', &hidden);
                });
              }
              return status;
            },
            [&](sd_bus_message* m) { return readObjectPath(m, stream.path); }, why)) {
      why = "Mutter would not cast monitor " + monitor.connector + " (" + why + ")";
      return false;
    }
    layout_.push_back(stream.monitor);
    streams_.push_back(std::move(stream));
  }
  return true;
}

// lock_ held. Monitors of the session's streams keep their streams (and their new places);
// the others are reached through the first stream.
void MutterRemoteDesktop::followLayout() {
  if (!layoutChanged_.exchange(false)) return;
  const auto monitors = displays_->monitors();
  if (monitors.empty()) return;  // Mutter did not answer: keep what is known
  layout_.clear();
  for (const auto& monitor : monitors) {
    PointerMonitor entry{monitor.connector, monitor.display.bounds, monitor.display.scale};
    for (auto& stream : streams_) {
      if (stream.monitor.connector == monitor.connector) stream.monitor = entry;
    }
    layout_.push_back(std::move(entry));
  }
}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  text_.reset();
  {
    std::lock_guard guard(lock_);
    for (int button = 0; button < 3; ++button) {  // never leave a button held behind
      if (pressed_ & (1u << button)) {
        const std::int32_t code = keys::evdevButton(button);
        const int released = 0;
        std::string why;
        bus_->call(
            remoteDesktop, session_, sessionInterface, "NotifyPointerButton",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "ib", code, released); },
            nullptr, why);
      }
    }
  }
  closedSignal_.reset();
  monitorsChanged_.reset();
  std::string why;
  if (!session_.empty()) {
    bus_->call(remoteDesktop, session_, sessionInterface, "Stop", nullptr, nullptr, why);
  }
}

// lock_ held.
bool MutterRemoteDesktop::call(const char* member,
                               const std::function<int(sd_bus_message*)>& arguments) {
  if (closed_) return false;
  std::string why;
  return bus_->call(remoteDesktop, session_, sessionInterface, member, arguments, nullptr, why);
}

// lock_ held.
bool MutterRemoteDesktop::moveTo(const ScreenPoint& at) {
  followLayout();
  std::vector<PointerMonitor> streams;
  for (const auto& stream : streams_) streams.push_back(stream.monitor);
  const auto target = placePointer(streams, layout_, at);
  if (!target) return false;
  const std::string& path = streams_[target->stream].path;
  return call("NotifyPointerMotionAbsolute", [&](sd_bus_message* m) {
    return sd_bus_message_append(m, "sdd", path.c_str(), target->x, target->y);
  });
}

// lock_ held.
bool MutterRemoteDesktop::button(int number, bool pressed) {
  const std::int32_t code = keys::evdevButton(number);
  const int down = pressed ? 1 : 0;
  if (!call("NotifyPointerButton",
            [&](sd_bus_message* m) { return sd_bus_message_append(m, "ib", code, down); })) {
    return false;
  }
  const unsigned bit = 1u << std::clamp(number, 0, 2);
  pressed_ = pressed ? pressed_ | bit : pressed_ & ~bit;
  return true;
}

bool MutterRemoteDesktop::mouse(MouseEventType type, const ScreenPoint& at, int number, int) {
  std::lock_guard guard(lock_);
  if (!moveTo(at)) return false;
  switch (type) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
    case MouseEventType::otherMouseDown: return button(number, true);
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
    case MouseEventType::otherMouseUp: return button(number, false);
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
    case MouseEventType::rightMouseDragged: return true;
  }
  return true;
}

bool MutterRemoteDesktop::isButtonDown(int number) {
  std::lock_guard guard(lock_);
  return (pressed_ & (1u << std::clamp(number, 0, 2))) != 0;
}

bool MutterRemoteDesktop::scrollWheel(std::int32_t vertical, std::int32_t horizontal,
                                      ScrollCarry& carry) {
  // Positive steps scroll down and right on Wayland; ours scroll up and left.
  const int down = -keys::wheelClicks(carry.vertical, vertical);
  const int right = -keys::wheelClicks(carry.horizontal, horizontal);
  std::lock_guard guard(lock_);
  bool sent = true;
  for (const auto& wheel : {std::pair<std::uint32_t, int>{0, down}, {1, right}}) {
    if (wheel.second == 0) continue;
    sent = call("NotifyPointerAxisDiscrete",
                [&](sd_bus_message* m) {
                  return sd_bus_message_append(m, "ui", wheel.first, wheel.second);
                }) &&
           sent;
  }
  return sent;
}

bool MutterRemoteDesktop::keysym(std::uint32_t symbol, bool pressed) {
  std::lock_guard guard(lock_);
  const int down = pressed ? 1 : 0;
  return call("NotifyKeyboardKeysym",
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "ub", symbol, down); });
}

bool MutterRemoteDesktop::keyPress(std::uint16_t virtualKey) {
  const std::uint32_t symbol = keys::keysymOfVirtualKey(virtualKey);
  if (symbol == keys::noSymbol) return false;
  return keysym(symbol, true) && keysym(symbol, false);
}

bool MutterRemoteDesktop::modifierKey(std::uint16_t virtualKey, bool down) {
  const std::uint32_t symbol = keys::keysymOfVirtualKey(virtualKey);
  return symbol != keys::noSymbol && keysym(symbol, down);
}

bool MutterRemoteDesktop::typeUnits(std::u16string_view units) {
  const std::size_t lost = text_->type(keys::charactersOf(units));
  // Mutter itself would drop them without a word; the user hears of it here.
  if (lost > 0 && log_) {
    log_("Input", "Input error: " + std::to_string(lost) +
                      (lost == 1 ? " character" : " characters") +
                      " could not be typed: not on this keyboard layout, and the focused "
                      "application took no paste");
  }
  return lost == 0;
}

bool MutterRemoteDesktop::setClipboard(std::string_view utf8) {
  return !closed_ && text_->clipboard().set(std::string(utf8));
}

bool MutterRemoteDesktop::watchClipboard(ClipboardWatcher watcher, std::size_t limit) {
  return text_->clipboard().watch(std::move(watcher), limit);
}

}  // namespace tavelin::wayland
