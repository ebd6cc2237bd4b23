#include "TavelinHost/Platform/Wayland/PortalDesktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <systemd/sd-bus.h>
#include <thread>

#include "TavelinHost/Platform/KeySymbols.hpp"
#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireStream.hpp"
#include "TavelinHost/Platform/Wayland/PointerPlacement.hpp"
#include "TavelinHost/Platform/Wayland/TextDelivery.hpp"
#include "TavelinHost/Platform/Wayland/WaylandErrors.hpp"
#include "TavelinHost/Platform/Wayland/WaylandKeymap.hpp"

namespace tavelin::wayland {

namespace {

// The compositor makes a session's pointer and keyboard on their first events and loses
// those; they are in place a short while later.
constexpr std::chrono::milliseconds deviceSettleTime{150};

// A motion by nothing and a tap of Shift make the devices, then they settle.
void settleDevices(PortalSession& session) {
  const double none = 0;
  session.notify("NotifyPointerMotion",
                 [&](sd_bus_message* m) { return sd_bus_message_append(m, "dd", none, none); });
  for (const std::uint32_t state : {1u, 0u}) {
    const auto shift = static_cast<std::int32_t>(keys::shiftLeft);
    session.notify("NotifyKeyboardKeysym",
                   [&](sd_bus_message* m) { return sd_bus_message_append(m, "iu", shift, state); });
  }
  std::this_thread::sleep_for(deviceSettleTime);
}

}  // namespace

PortalDesktop::PortalDesktop(std::shared_ptr<SessionBus> bus, PortalTokens tokens,
                             std::function<void()> beforeDialog, HostLogSink log)
    : bus_(std::move(bus)),
      tokens_(std::move(tokens)),
      beforeDialog_(std::move(beforeDialog)),
      log_(std::move(log)) {}

PortalDesktop::~PortalDesktop() = default;

std::uint32_t PortalDesktop::displayID(const PortalStream& stream) {
  // Hashed as Mutter's connectors are, under names of their own.
  if (!stream.id.empty()) return MutterDisplays::displayID("portal:" + stream.id);
  return MutterDisplays::displayID("portal@" + std::to_string(static_cast<long>(stream.bounds.x)) +
                                   "," + std::to_string(static_cast<long>(stream.bounds.y)) + " " +
                                   std::to_string(static_cast<long>(stream.bounds.width)) + "x" +
                                   std::to_string(static_cast<long>(stream.bounds.height)));
}

std::shared_ptr<PortalSession> PortalDesktop::session(std::error_code& error, std::string& why) {
  std::lock_guard starting(starting_);
  if (auto now = current()) return now;
  if (endedByDesktop_) {
    error = WaylandError::streamEnded;
    why = "the desktop ended screen sharing";
    return nullptr;
  }
  std::shared_ptr<PortalSession> started =
      PortalSession::start(bus_, tokens_, beforeDialog_, log_, error, why);
  if (!started) {
    if (log_) log_("Host", "Screen sharing error: " + why);
    return nullptr;
  }
  settleDevices(*started);
  std::vector<DisplayDescription> displays;
  for (const auto& stream : started->streams()) {
    displays.push_back({displayID(stream), stream.bounds, 1, displays.empty()});
  }
  std::lock_guard guard(lock_);
  session_ = started;
  displays_ = std::move(displays);
  return started;
}

std::shared_ptr<PortalSession> PortalDesktop::current() {
  bool noticed = false;
  std::shared_ptr<PortalSession> now;
  {
    std::lock_guard guard(lock_);
    if (session_ && session_->ended()) {
      // The person at the desk stopped the sharing there: it stays stopped, and the monitors
      // it showed are gone for the host, until the next run asks again.
      session_.reset();
      displays_.clear();
      endedByDesktop_ = true;
      noticed = true;
    }
    now = session_;
  }
  if (noticed && log_) {
    log_("Host",
         "Screen sharing error: the desktop ended screen sharing; Tavelin asks again "
         "when it next starts");
  }
  return now;
}

std::vector<DisplayDescription> PortalDesktop::displays() {
  current();
  std::lock_guard guard(lock_);
  return displays_;
}

std::int32_t PortalWindowServer::ownProcessID() const { return ::getpid(); }

namespace {

// One stream's side of the session: the node of its monitor and a PipeWire connection to it.
class PortalScreenCast final : public StreamProvider {
 public:
  explicit PortalScreenCast(std::shared_ptr<PortalDesktop> desktop)
      : desktop_(std::move(desktop)) {}

  std::optional<PipeWireNode> open(const ContentFilter& filter, std::error_code& error) override {
    const auto* content = std::get_if<DisplayContent>(&filter.content);
    if (!content) {
      error = WaylandError::windowsNotOffered;
      return std::nullopt;
    }
    std::string why;
    session_ = desktop_->session(error, why);
    if (!session_) return std::nullopt;
    for (const auto& stream : session_->streams()) {
      if (PortalDesktop::displayID(stream) != content->displayID) continue;
      const int fd = session_->openPipeWireRemote(why);
      if (fd < 0) {
        if (desktop_->log()) desktop_->log()("Host", "Screen sharing error: " + why);
        error = WaylandError::noStream;
        return std::nullopt;
      }
      return PipeWireNode{stream.node, fd};
    }
    error = WaylandError::noSuchMonitor;
    return std::nullopt;
  }

  void close() override { session_.reset(); }

 private:
  const std::shared_ptr<PortalDesktop> desktop_;
  std::shared_ptr<PortalSession> session_;  // on the stream's worker thread
};

}  // namespace

void PortalCaptureService::shareableContent(
    std::function<void(std::optional<ShareableContent>, std::error_code)> done) {
  ShareableContent content;
  for (const auto& display : desktop_->displays()) {
    content.displays.push_back({display.displayID, display.bounds});
  }
  done(std::move(content), {});
}

std::optional<ContentFilter> PortalCaptureService::displayFilter(
    std::uint32_t displayID, std::vector<std::int32_t> excludedProcessIDs) {
  for (const auto& display : desktop_->displays()) {
    if (display.displayID == displayID) {
      return ContentFilter{DisplayContent{displayID, std::move(excludedProcessIDs)}, display.scale,
                           display.bounds};
    }
  }
  return std::nullopt;
}

std::shared_ptr<CaptureStream> PortalCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration) {
  return std::make_shared<PipeWireStream>(std::make_shared<PortalScreenCast>(desktop_), filter,
                                          configuration, desktop_->log());
}

PortalRemoteDesktop::PortalRemoteDesktop(std::shared_ptr<PortalDesktop> desktop)
    : desktop_(std::move(desktop)) {}

PortalRemoteDesktop::~PortalRemoteDesktop() {
  std::lock_guard guard(lock_);
  const auto session = desktop_->current();
  if (!session) return;
  for (int number = 0; number < 3; ++number) {  // never leave a button held behind
    if (pressed_ & (1u << number)) button(*session, number, false);
  }
}

// lock_ held.
bool PortalRemoteDesktop::button(PortalSession& session, int number, bool pressed) {
  const std::int32_t code = keys::evdevButton(number);
  const std::uint32_t state = pressed ? 1 : 0;
  if (!session.notify("NotifyPointerButton", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "iu", code, state);
      })) {
    return false;
  }
  const unsigned bit = 1u << std::clamp(number, 0, 2);
  pressed_ = pressed ? pressed_ | bit : pressed_ & ~bit;
  return true;
}

// lock_ held.
bool PortalRemoteDesktop::keysym(PortalSession& session, std::uint32_t symbol, bool pressed) {
  const auto code = static_cast<std::int32_t>(symbol);
  const std::uint32_t state = pressed ? 1 : 0;
  return session.notify("NotifyKeyboardKeysym", [&](sd_bus_message* m) {
    return sd_bus_message_append(m, "iu", code, state);
  });
}

bool PortalRemoteDesktop::mouse(MouseEventType type, const ScreenPoint& at, int number, int) {
  std::lock_guard guard(lock_);
  const auto session = desktop_->current();
  if (!session) return false;
  // The point goes to the monitor it is on, or to the nearest one's edge.
  std::vector<PointerMonitor> monitors;
  for (const auto& stream : session->streams()) {
    monitors.push_back({std::to_string(stream.node), stream.bounds, 1});
  }
  const auto target = placePointer(monitors, {}, at);
  if (!target) return false;
  const std::uint32_t node = session->streams()[target->stream].node;
  if (!session->notify("NotifyPointerMotionAbsolute", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "udd", node, target->x, target->y);
      })) {
    return false;
  }
  switch (type) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
    case MouseEventType::otherMouseDown: return button(*session, number, true);
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
    case MouseEventType::otherMouseUp: return button(*session, number, false);
    case MouseEventType::mouseMoved:
    case MouseEventType::leftMouseDragged:
    case MouseEventType::rightMouseDragged: return true;
  }
  return true;
}

bool PortalRemoteDesktop::isButtonDown(int number) {
  std::lock_guard guard(lock_);
  return (pressed_ & (1u << std::clamp(number, 0, 2))) != 0;
}

bool PortalRemoteDesktop::scrollWheel(std::int32_t vertical, std::int32_t horizontal,
                                      ScrollCarry& carry) {
  // Positive steps scroll down and right on Wayland; ours scroll up and left.
  const int down = -keys::wheelClicks(carry.vertical, vertical);
  const int right = -keys::wheelClicks(carry.horizontal, horizontal);
  std::lock_guard guard(lock_);
  const auto session = desktop_->current();
  if (!session) return false;
  bool sent = true;
  for (const auto& wheel : {std::pair<std::uint32_t, int>{0, down}, {1, right}}) {
    if (wheel.second == 0) continue;
    sent = session->notify("NotifyPointerAxisDiscrete", [&](sd_bus_message* m) {
      return sd_bus_message_append(m, "ui", wheel.first, wheel.second);
    }) && sent;
  }
  return sent;
}

bool PortalRemoteDesktop::keyPress(std::uint16_t virtualKey) {
  const std::uint32_t symbol = keys::keysymOfVirtualKey(virtualKey);
  if (symbol == keys::noSymbol) return false;
  std::lock_guard guard(lock_);
  const auto session = desktop_->current();
  return session && keysym(*session, symbol, true) && keysym(*session, symbol, false);
}

bool PortalRemoteDesktop::typeUnits(std::u16string_view units) {
  const std::u32string characters = keys::charactersOf(units);
  std::lock_guard guard(lock_);
  const auto session = desktop_->current();
  if (!session) return false;
  // The seat has a keyboard only once the session's virtual one exists.
  if (!keymap_) keymap_ = WaylandKeymap::connect();
  if (keymap_) keymap_->refresh();
  std::size_t lost = 0;
  const auto runs =
      planText(characters, [&](std::uint32_t symbol) { return keymap_ && keymap_->types(symbol); });
  for (const auto& run : runs) {
    if (run.pasted) {
      lost += run.characters.size();
      continue;
    }
    for (const std::uint32_t symbol : run.keysyms) {
      if (!keysym(*session, symbol, true) || !keysym(*session, symbol, false)) ++lost;
    }
  }
  if (lost > 0 && desktop_->log()) {
    desktop_->log()("Input", "Input error: " + std::to_string(lost) +
                                 (lost == 1 ? " character" : " characters") +
                                 " could not be typed: not on this keyboard layout, and this "
                                 "desktop's portal offers no clipboard to paste them");
  }
  return lost == 0;
}

}  // namespace tavelin::wayland
