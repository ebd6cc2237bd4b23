#include "TavelinHost/Platform/Wayland/PortalDesktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <systemd/sd-bus.h>
#include <thread>

#include "TavelinHost/Platform/KeySymbols.hpp"
#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireStream.hpp"
#include "TavelinHost/Platform/Wayland/PointerPlacement.hpp"
#include "TavelinHost/Platform/Wayland/SessionClipboard.hpp"
#include "TavelinHost/Platform/Wayland/TextDelivery.hpp"
#include "TavelinHost/Platform/Wayland/WaylandErrors.hpp"
#include "TavelinHost/Platform/Wayland/WaylandKeymap.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin::wayland {

namespace {

// The compositor makes a session's pointer and keyboard on their first events and loses
// those; they are in place a short while later.
constexpr std::chrono::milliseconds deviceSettleTime{150};

// Chosen windows are numbered from 1; their planes must stay apart within a double's integers.
constexpr unsigned long maxWindows = 1u << 15;

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

PortalDesktop::PortalDesktop(std::shared_ptr<SessionBus> bus, PortalTokenStore tokens,
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
  std::shared_ptr<PortalSession> started = PortalSession::start(
      bus_, PortalSources::monitors, tokens_.of("screens"), beforeDialog_, log_, error, why);
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

std::shared_ptr<SessionClipboard> PortalDesktop::clipboard() {
  const auto monitors = current();
  SessionClipboard* clipboard = monitors ? monitors->clipboard() : nullptr;
  return clipboard ? std::shared_ptr<SessionClipboard>(monitors, clipboard) : nullptr;
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

LiveWindow PortalDesktop::described(std::uint32_t windowID, const ChosenWindow& chosen) {
  LiveWindow window;
  window.windowID = windowID;
  window.bounds = chosen.bounds;
  // The portal names neither the window nor its application.
  window.ownerName = "Window " + std::to_string(windowID);
  window.isOnScreen = true;
  return window;
}

void PortalDesktop::dropEndedWindows() {
  std::erase_if(chosen_, [](const auto& entry) { return entry.second.session->ended(); });
}

std::optional<LiveWindow> PortalDesktop::startWindow(std::uint32_t windowID, std::error_code& error,
                                                     std::string& why) {
  const std::string name = "window " + std::to_string(windowID);
  std::shared_ptr<PortalSession> started = PortalSession::start(
      bus_, PortalSources::window, tokens_.of(name), beforeDialog_, log_, error, why);
  if (!started) return std::nullopt;
  if (started->streams().size() != 1) {
    error = WaylandError::noStream;
    why = "the desktop shared " + std::to_string(started->streams().size()) +
          " windows where one was asked for";
    return std::nullopt;
  }
  settleDevices(*started);
  const PortalStream& stream = started->streams().front();
  ChosenWindow chosen{started,
                      stream.node,
                      {windowPlane + windowSpacing * windowID, 0,
                       std::clamp<double>(stream.bounds.width, 0, windowSpacing),
                       std::clamp<double>(stream.bounds.height, 0, windowSpacing)}};
  std::lock_guard guard(lock_);
  lastWindowNumber_ = std::max(lastWindowNumber_, windowID);
  chosen_[windowID] = chosen;
  return described(windowID, chosen);
}

std::optional<LiveWindow> PortalDesktop::chooseWindow(std::error_code& error, std::string& why) {
  std::lock_guard starting(starting_);
  std::uint32_t number = 0;
  {
    std::lock_guard guard(lock_);
    // Numbers are never reused: a portal of an earlier run may still name its window's.
    const auto stored = tokens_.load ? tokens_.load() : std::map<std::string, std::string>{};
    for (const auto& entry : stored) {
      unsigned long kept = 0;
      if (std::sscanf(entry.first.c_str(), "window %lu", &kept) == 1 && kept < maxWindows) {
        lastWindowNumber_ = std::max(lastWindowNumber_, static_cast<std::uint32_t>(kept));
      }
    }
    if (lastWindowNumber_ + 1 >= maxWindows) {
      error = WaylandError::noStream;
      why = "Tavelin has numbered as many windows as it can keep apart";
      return std::nullopt;
    }
    number = ++lastWindowNumber_;
    restoreTried_.insert(number);
  }
  auto window = startWindow(number, error, why);
  if (!window && log_) log_("Host", "Window sharing error: " + why);
  return window;
}

std::vector<LiveWindow> PortalDesktop::windows() {
  std::lock_guard guard(lock_);
  dropEndedWindows();
  std::vector<LiveWindow> live;
  for (const auto& [id, chosen] : chosen_) live.push_back(described(id, chosen));
  return live;
}

std::optional<LiveWindow> PortalDesktop::window(std::uint32_t windowID) {
  {
    std::lock_guard guard(lock_);
    dropEndedWindows();
    if (const auto found = chosen_.find(windowID); found != chosen_.end()) {
      return described(windowID, found->second);
    }
    if (!restoreTried_.insert(windowID).second) return std::nullopt;
  }
  // A window of an earlier run comes back only where the portal kept its permission; it never
  // brings up a dialog by itself.
  if (tokens_.of("window " + std::to_string(windowID)).load().empty()) return std::nullopt;
  std::lock_guard starting(starting_);
  std::error_code error;
  std::string why;
  auto restored = startWindow(windowID, error, why);
  if (!restored && log_) log_("Host", "Window sharing error: " + why);
  return restored;
}

std::shared_ptr<PortalSession> PortalDesktop::windowSession(std::uint32_t windowID,
                                                            std::uint32_t& node) {
  std::lock_guard guard(lock_);
  dropEndedWindows();
  const auto found = chosen_.find(windowID);
  if (found == chosen_.end()) return nullptr;
  node = found->second.node;
  return found->second.session;
}

void PortalDesktop::windowSized(std::uint32_t windowID, int width, int height) {
  std::lock_guard guard(lock_);
  const auto found = chosen_.find(windowID);
  if (found == chosen_.end() || width <= 0 || height <= 0) return;
  found->second.bounds.width = std::min<double>(width, windowSpacing);
  found->second.bounds.height = std::min<double>(height, windowSpacing);
}

std::optional<PortalDesktop::PointerAt> PortalDesktop::pointerAt(const ScreenPoint& at) {
  {
    std::lock_guard guard(lock_);
    dropEndedWindows();
    for (const auto& [id, chosen] : chosen_) {
      const ScreenRect& r = chosen.bounds;
      if (at.x >= r.x && at.x < r.x + windowSpacing && at.y < windowSpacing) {
        return PointerAt{chosen.session, chosen.node,
                         std::clamp(at.x - r.x, 0.0, std::max(0.0, r.width - 1)),
                         std::clamp(at.y - r.y, 0.0, std::max(0.0, r.height - 1))};
      }
    }
  }
  const auto session = current();
  if (!session) return std::nullopt;
  // A point on the monitors goes to the one it is on, or to the nearest one's edge.
  std::vector<PointerMonitor> monitors;
  for (const auto& stream : session->streams()) {
    monitors.push_back({std::to_string(stream.node), stream.bounds, 1});
  }
  const auto target = placePointer(monitors, {}, at);
  if (!target) return std::nullopt;
  return PointerAt{session, session->streams()[target->stream].node, target->x, target->y};
}

std::int32_t PortalWindowServer::ownProcessID() const { return ::getpid(); }

namespace {

// One stream's side of the session: the node of its monitor and a PipeWire connection to it.
class PortalScreenCast final : public StreamProvider {
 public:
  explicit PortalScreenCast(std::shared_ptr<PortalDesktop> desktop)
      : desktop_(std::move(desktop)) {}

  std::optional<PipeWireNode> open(const ContentFilter& filter, std::error_code& error) override {
    std::string why;
    if (const auto* window = std::get_if<WindowContent>(&filter.content)) {
      std::uint32_t node = 0;
      session_ = desktop_->windowSession(window->windowID, node);
      if (!session_) {
        error = WaylandError::streamEnded;
        return std::nullopt;
      }
      windowID_ = window->windowID;
      return remote(node, error);
    }
    const auto* content = std::get_if<DisplayContent>(&filter.content);
    if (!content) {
      error = WaylandError::noStream;
      return std::nullopt;
    }
    windowID_ = 0;
    session_ = desktop_->session(error, why);
    if (!session_) return std::nullopt;
    for (const auto& stream : session_->streams()) {
      if (PortalDesktop::displayID(stream) == content->displayID) return remote(stream.node, error);
    }
    error = WaylandError::noSuchMonitor;
    return std::nullopt;
  }

  void close() override { session_.reset(); }

  void contentSized(int width, int height) override {
    if (const std::uint32_t window = windowID_) desktop_->windowSized(window, width, height);
  }

 private:
  std::optional<PipeWireNode> remote(std::uint32_t node, std::error_code& error) {
    std::string why;
    const int fd = session_->openPipeWireRemote(why);
    if (fd < 0) {
      if (desktop_->log()) desktop_->log()("Host", "Screen sharing error: " + why);
      error = WaylandError::noStream;
      return std::nullopt;
    }
    return PipeWireNode{node, fd};
  }

  const std::shared_ptr<PortalDesktop> desktop_;
  std::shared_ptr<PortalSession> session_;  // on the stream's worker thread
  std::atomic<std::uint32_t> windowID_{0};  // the window shown, read on PipeWire's loop thread
};

}  // namespace

void PortalCaptureService::shareableContent(
    std::function<void(std::optional<ShareableContent>, std::error_code)> done) {
  ShareableContent content;
  for (const auto& display : desktop_->displays()) {
    content.displays.push_back({display.displayID, display.bounds});
  }
  for (const auto& window : desktop_->windows()) {
    const ShareableApplication owner{window.ownerName, "", window.ownerProcessID};
    content.windows.push_back(
        {window.windowID, window.name, window.bounds, 0, window.isOnScreen, owner});
  }
  done(std::move(content), {});
}

std::optional<ContentFilter> PortalCaptureService::windowFilter(std::uint32_t windowID) {
  const auto window = desktop_->window(windowID);
  if (!window) return std::nullopt;
  return ContentFilter{WindowContent{windowID}, 1, window->bounds};
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
  const auto session = inputSession();
  if (!session) return;
  for (int number = 0; number < 3; ++number) {  // never leave a button held behind
    if (pressed_ & (1u << number)) button(*session, number, false);
  }
}

// lock_ held.
std::shared_ptr<PortalSession> PortalRemoteDesktop::inputSession() {
  auto session = pointing_.lock();
  if (session && !session->ended()) return session;
  return desktop_->current();
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
  const auto target = desktop_->pointerAt(at);
  if (!target) return false;
  PortalSession& session = *target->session;
  if (!session.notify("NotifyPointerMotionAbsolute", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "udd", target->node, target->x, target->y);
      })) {
    return false;
  }
  pointing_ = target->session;
  switch (type) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
    case MouseEventType::otherMouseDown: return button(session, number, true);
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
    case MouseEventType::otherMouseUp: return button(session, number, false);
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
  const auto session = inputSession();
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
  const auto session = inputSession();
  return session && keysym(*session, symbol, true) && keysym(*session, symbol, false);
}

bool PortalRemoteDesktop::modifierKey(std::uint16_t virtualKey, bool down) {
  const std::uint32_t symbol = keys::keysymOfVirtualKey(virtualKey);
  if (symbol == keys::noSymbol) return false;
  std::lock_guard guard(lock_);
  const auto session = inputSession();
  return session && keysym(*session, symbol, down);
}

bool PortalRemoteDesktop::typeUnits(std::u16string_view units) {
  const std::u32string characters = keys::charactersOf(units);
  std::lock_guard guard(lock_);
  const auto session = inputSession();
  if (!session) return false;
  // The seat has a keyboard only once the session's virtual one exists.
  if (!keymap_) keymap_ = WaylandKeymap::connect();
  if (keymap_) keymap_->refresh();
  // What the layout lacks is pasted where the portal gave the clipboard: Shift+Insert, which
  // text fields and terminals alike take, asks the focused application for it.
  const auto clipboard = desktop_->clipboard();
  const auto chord = [&] {
    return keysym(*session, TextDelivery::shift, true) &&
           keysym(*session, TextDelivery::insert, true) &&
           keysym(*session, TextDelivery::insert, false) &&
           keysym(*session, TextDelivery::shift, false);
  };
  std::size_t lost = 0;
  const auto runs =
      planText(characters, [&](std::uint32_t symbol) { return keymap_ && keymap_->types(symbol); });
  for (const auto& run : runs) {
    if (run.pasted) {
      if (!clipboard || !clipboard->paste(unicode::utf8(run.characters), chord)) {
        lost += run.characters.size();
      }
      continue;
    }
    for (const std::uint32_t symbol : run.keysyms) {
      if (!keysym(*session, symbol, true) || !keysym(*session, symbol, false)) ++lost;
    }
  }
  if (lost > 0 && desktop_->log()) {
    desktop_->log()("Input", "Input error: " + std::to_string(lost) +
                                 (lost == 1 ? " character" : " characters") +
                                 " could not be typed: not on this keyboard layout, and " +
                                 (clipboard ? "the focused application took no paste"
                                            : "this desktop's portal offers no clipboard to "
                                              "paste them"));
  }
  return lost == 0;
}

bool PortalRemoteDesktop::setClipboard(std::string_view utf8) {
  const auto clipboard = desktop_->clipboard();
  return clipboard && clipboard->set(std::string(utf8));
}

bool PortalRemoteDesktop::watchClipboard(ClipboardWatcher watcher, std::size_t limit) {
  const auto clipboard = desktop_->clipboard();
  return clipboard && clipboard->watch(std::move(watcher), limit);
}

}  // namespace tavelin::wayland
