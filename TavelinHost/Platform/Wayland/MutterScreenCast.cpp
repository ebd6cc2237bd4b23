#include "TavelinHost/Platform/Wayland/MutterScreenCast.hpp"

#include <chrono>

#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"
#include "TavelinHost/Platform/Wayland/WaylandErrors.hpp"

namespace tavelin::wayland {

namespace {

constexpr const char* service = "org.gnome.Mutter.ScreenCast";
// Mutter names the stream's node within milliseconds of Start; a second means it will not.
constexpr std::chrono::seconds nodeWait{5};

}  // namespace

MutterScreenCast::MutterScreenCast(std::shared_ptr<SessionBus> bus,
                                   std::shared_ptr<MutterDisplays> displays, CursorMode cursor)
    : bus_(std::move(bus)), displays_(std::move(displays)), cursor_(cursor) {}

MutterScreenCast::~MutterScreenCast() { close(); }

std::optional<PipeWireNode> MutterScreenCast::open(const ContentFilter& filter,
                                                   std::error_code& error) {
  const auto* content = std::get_if<DisplayContent>(&filter.content);
  if (!content) {
    error = WaylandError::windowsNotOffered;
    return std::nullopt;
  }
  for (const auto& monitor : displays_->monitors()) {
    if (monitor.display.displayID == content->displayID) {
      return record(monitor.connector, error);
    }
  }
  error = WaylandError::noSuchMonitor;
  return std::nullopt;
}

std::optional<PipeWireNode> MutterScreenCast::record(const std::string& connector,
                                                     std::error_code& error) {
  close();
  std::string session, stream, why;
  if (!bus_->call(
          service, "/org/gnome/Mutter/ScreenCast", service, "CreateSession",
          [](sd_bus_message* m) { return appendVariantDictionary(m, nullptr); },
          [&](sd_bus_message* m) { return readObjectPath(m, session); }, why)) {
    error = WaylandError::screenCastRefused;
    return std::nullopt;
  }
  {
    std::lock_guard guard(lock_);
    session_ = session;
    node_.reset();
    ended_ = false;
  }
  sessionClosed_ = bus_->subscribe(service, session, "org.gnome.Mutter.ScreenCast.Session",
                                   "Closed", [this](sd_bus_message*) {
                                     std::function<void(std::error_code)> told;
                                     {
                                       std::lock_guard guard(lock_);
                                       ended_ = true;
                                       told = onClosed;
                                     }
                                     changed_.notify_all();
                                     if (told) told(WaylandError::streamEnded);
                                   });
  const std::uint32_t cursor = static_cast<std::uint32_t>(cursor_);
  const bool recorded = bus_->call(
      service, session, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
      [&](sd_bus_message* m) {
        int status = sd_bus_message_append(m, "s", connector.c_str());
        if (status >= 0) {
          status = appendVariantDictionary(
              m, [&](sd_bus_message* d) { return appendEntry(d, "cursor-mode", 'u', &cursor); });
        }
        return status;
      },
      [&](sd_bus_message* m) { return readObjectPath(m, stream); }, why);
  if (!recorded) {
    close();
    error = WaylandError::noSuchMonitor;
    return std::nullopt;
  }
  // The node is named only after Start: listen before starting.
  streamAdded_ = bus_->subscribe(service, stream, "org.gnome.Mutter.ScreenCast.Stream",
                                 "PipeWireStreamAdded", [this](sd_bus_message* m) {
                                   std::uint32_t node = 0;
                                   if (sd_bus_message_read(m, "u", &node) < 0) return;
                                   {
                                     std::lock_guard guard(lock_);
                                     node_ = node;
                                   }
                                   changed_.notify_all();
                                 });
  if (!bus_->call(service, session, "org.gnome.Mutter.ScreenCast.Session", "Start", nullptr,
                  nullptr, why)) {
    close();
    error = WaylandError::screenCastRefused;
    return std::nullopt;
  }
  std::unique_lock guard(lock_);
  if (!changed_.wait_for(guard, nodeWait, [&] { return node_.has_value() || ended_; }) || !node_) {
    guard.unlock();
    close();
    error = WaylandError::noStream;
    return std::nullopt;
  }
  return PipeWireNode{*node_, -1};
}

void MutterScreenCast::close() {
  std::string session;
  {
    std::lock_guard guard(lock_);
    session = std::exchange(session_, {});
    node_.reset();
  }
  // Dropping the subscriptions first: a Closed that our own Stop causes is not the desktop's.
  streamAdded_.reset();
  sessionClosed_.reset();
  if (session.empty()) return;
  std::string why;
  bus_->call(service, session, "org.gnome.Mutter.ScreenCast.Session", "Stop", nullptr, nullptr,
             why);
}

}  // namespace tavelin::wayland
