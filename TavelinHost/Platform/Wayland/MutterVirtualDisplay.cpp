#include "TavelinHost/Platform/Wayland/MutterVirtualDisplay.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>

#include "TavelinHost/Platform/Wayland/MutterScreenCast.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireConsumer.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"

namespace tavelin::wayland {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* service = "org.gnome.Mutter.ScreenCast";
constexpr const char* sessionInterface = "org.gnome.Mutter.ScreenCast.Session";
// Mutter names the node within milliseconds of Start, and shows the monitor within a frame or
// two of the consumer's format; these only bound a desktop that will not.
constexpr auto nodeWait = 5s;
constexpr auto monitorWait = 5s;
constexpr auto removalWait = 2s;
constexpr std::uint32_t largestSide = 16384;

std::string sizeText(std::uint32_t width, std::uint32_t height) {
  return std::to_string(width) + "\u00D7" + std::to_string(height);
}

// Mutter's layout as it changes: each look re-reads it, and a wait ends at the next
// MonitorsChanged (or the deadline), never after a fixed sleep.
class LayoutWatch {
 public:
  explicit LayoutWatch(MutterDisplays& displays) : displays_(displays) {
    handle_ = displays_.watch([state = state_] {
      {
        std::lock_guard guard(state->lock);
        ++state->changes;
      }
      state->changed.notify_all();
    });
  }

  // The first non-empty answer of `look` to the monitors, read now and after each change,
  // until `deadline`.
  template <typename Look>
  auto until(Clock::time_point deadline, Look look) {
    while (true) {
      std::uint64_t seen = 0;
      {
        std::lock_guard guard(state_->lock);
        seen = state_->changes;
      }
      if (auto found = look(displays_.monitors())) return found;
      std::unique_lock guard(state_->lock);
      // Without a subscription there is no signal to wait for: look again every 100 ms.
      const auto wake = handle_ ? deadline : std::min(deadline, Clock::now() + 100ms);
      state_->changed.wait_until(guard, wake, [&] { return state_->changes != seen; });
      if (Clock::now() >= deadline) return look(displays_.monitors());
    }
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t changes = 0;
  };
  MutterDisplays& displays_;
  const std::shared_ptr<State> state_ = std::make_shared<State>();
  std::shared_ptr<void> handle_;
};

// One virtual display: the session, its stream's consumer and the monitor they make. Made on
// the creating thread; Mutter's signals arrive on the bus thread, PipeWire's on its loop.
class MutterVirtualMonitor final : public VirtualDisplayBacking {
 public:
  MutterVirtualMonitor(std::shared_ptr<SessionBus> bus, std::shared_ptr<MutterDisplays> displays,
                       HostLogSink log)
      : bus_(std::move(bus)), displays_(std::move(displays)), log_(std::move(log)) {}
  ~MutterVirtualMonitor() override;

  // Empty when the monitor is up, else why not.
  std::string open(std::uint32_t width, std::uint32_t height,
                   const std::vector<std::string>& before);
  std::uint32_t displayID() const override { return displayID_; }
  const std::string& connector() const { return connector_; }

 private:
  struct Signals {
    std::mutex lock;
    std::condition_variable changed;
    std::optional<std::uint32_t> node;
    bool closed = false;
  };
  void tell(const std::string& message) const {
    if (log_) log_("Host", "Virtual display: " + message);
  }

  const std::shared_ptr<SessionBus> bus_;
  const std::shared_ptr<MutterDisplays> displays_;
  const HostLogSink log_;
  const std::shared_ptr<Signals> signals_ = std::make_shared<Signals>();
  // Set once the display is up, cleared when it is being removed: only then is an end news.
  const std::shared_ptr<std::atomic<bool>> up_ = std::make_shared<std::atomic<bool>>(false);
  std::string session_;
  std::string connector_;
  std::uint32_t displayID_ = 0;
  std::shared_ptr<void> streamAdded_, sessionClosed_;
  std::unique_ptr<PipeWireConsumer> consumer_;
};

std::string MutterVirtualMonitor::open(std::uint32_t width, std::uint32_t height,
                                       const std::vector<std::string>& before) {
  std::string why, stream;
  if (!bus_->call(
          service, "/org/gnome/Mutter/ScreenCast", service, "CreateSession",
          [](sd_bus_message* m) { return appendVariantDictionary(m, nullptr); },
          [&](sd_bus_message* m) { return readObjectPath(m, session_); }, why)) {
    session_.clear();
    return "Mutter gives no screen cast session (" + why + ")";
  }
  sessionClosed_ = bus_->subscribe(
      service, session_, sessionInterface, "Closed",
      [signals = signals_, up = up_, log = log_](sd_bus_message*) {
        {
          std::lock_guard guard(signals->lock);
          signals->closed = true;
        }
        signals->changed.notify_all();
        if (up->exchange(false) && log) {
          log("Host", "Virtual display: GNOME closed its screen cast session; the display is gone");
        }
      });
  const auto cursor = static_cast<std::uint32_t>(CursorMode::embedded);
  if (!bus_->call(
          service, session_, sessionInterface, "RecordVirtual",
          [&](sd_bus_message* m) {
            return appendVariantDictionary(
                m, [&](sd_bus_message* d) { return appendEntry(d, "cursor-mode", 'u', &cursor); });
          },
          [&](sd_bus_message* m) { return readObjectPath(m, stream); }, why)) {
    return "Mutter would not record a virtual monitor (" + why + ")";
  }
  // The node is named only after Start: listen before starting.
  streamAdded_ = bus_->subscribe(service, stream, "org.gnome.Mutter.ScreenCast.Stream",
                                 "PipeWireStreamAdded", [signals = signals_](sd_bus_message* m) {
                                   std::uint32_t node = 0;
                                   if (sd_bus_message_read(m, "u", &node) < 0) return;
                                   {
                                     std::lock_guard guard(signals->lock);
                                     signals->node = node;
                                   }
                                   signals->changed.notify_all();
                                 });
  if (!bus_->call(service, session_, sessionInterface, "Start", nullptr, nullptr, why)) {
    return "Mutter would not start the virtual monitor's screen cast (" + why + ")";
  }
  std::uint32_t node = 0;
  {
    std::unique_lock guard(signals_->lock);
    if (!signals_->changed.wait_for(guard, nodeWait,
                                    [&] { return signals_->node || signals_->closed; }) ||
        !signals_->node) {
      return "Mutter named no PipeWire node for the virtual monitor";
    }
    node = *signals_->node;
  }
  // Listening before the consumer asks for its size, which is what makes the monitor.
  LayoutWatch layout(*displays_);
  PipeWireConsumer::Handlers handlers;
  handlers.size = PixelSize{width, height};
  handlers.log = log_;
  handlers.ended = [up = up_, log = log_](std::error_code error) {
    if (up->exchange(false) && log) {
      log("Host", "Virtual display: its PipeWire stream ended (" + error.message() +
                      "); GNOME removes the display with it");
    }
  };
  std::error_code error;
  consumer_ = PipeWireConsumer::connect(PipeWireNode{node, -1}, std::move(handlers), error);
  if (!consumer_) {
    return "no PipeWire stream of " + sizeText(width, height) + " from Mutter's node " +
           std::to_string(node) + " (" + error.message() + ")";
  }
  const auto monitor =
      layout.until(Clock::now() + monitorWait, [&](const std::vector<MutterMonitor>& now) {
        return addedMonitor(before, now, width, height);
      });
  if (!monitor) {
    return "Mutter showed no monitor of " + sizeText(width, height) + " within " +
           std::to_string(std::chrono::seconds(monitorWait).count()) + " s";
  }
  connector_ = monitor->connector;
  displayID_ = monitor->display.displayID;
  *up_ = true;
  return {};
}

MutterVirtualMonitor::~MutterVirtualMonitor() {
  *up_ = false;  // what removing it causes is no news
  consumer_.reset();
  streamAdded_.reset();
  sessionClosed_.reset();
  if (session_.empty()) return;
  std::optional<LayoutWatch> layout;
  if (!connector_.empty()) layout.emplace(*displays_);
  std::string why;
  if (!bus_->call(service, session_, sessionInterface, "Stop", nullptr, nullptr, why)) {
    tell("Mutter would not stop the virtual monitor's screen cast (" + why + ")");
  }
  if (!layout) return;
  // Gone from the layout before this returns, so that nobody lists it any more.
  const auto gone = layout->until(Clock::now() + removalWait, [&](const auto& monitors) {
    return std::none_of(monitors.begin(), monitors.end(),
                        [&](const MutterMonitor& m) { return m.connector == connector_; })
               ? std::optional<bool>(true)
               : std::nullopt;
  });
  if (!gone) tell("Mutter still shows monitor " + connector_ + " after its session stopped");
}

}  // namespace

std::optional<MutterMonitor> addedMonitor(const std::vector<std::string>& before,
                                          const std::vector<MutterMonitor>& now,
                                          std::uint32_t width, std::uint32_t height) {
  for (const auto& monitor : now) {
    if (std::find(before.begin(), before.end(), monitor.connector) != before.end()) continue;
    // Bounds are points of `scale` pixels in a logical layout.
    const auto& display = monitor.display;
    if (std::lround(display.bounds.width * display.scale) == static_cast<long>(width) &&
        std::lround(display.bounds.height * display.scale) == static_cast<long>(height)) {
      return monitor;
    }
  }
  return std::nullopt;
}

bool MutterVirtualDisplays::isSupported() {
  bool supported = false;
  std::string why;
  {
    std::lock_guard guard(lock_);
    if (supported_) return *supported_;
    // Only a session object shows the session's methods: one made for asking, never started.
    std::string session;
    if (!bus_->call(
            service, "/org/gnome/Mutter/ScreenCast", service, "CreateSession",
            [](sd_bus_message* m) { return appendVariantDictionary(m, nullptr); },
            [&](sd_bus_message* m) { return readObjectPath(m, session); }, why)) {
      why = "Mutter gives no screen cast session (" + why + ")";
    } else {
      supported = bus_->offersMethod(service, session, sessionInterface, "RecordVirtual");
      if (!supported) why = "this Mutter's screen casts have no virtual monitors (RecordVirtual)";
      std::string ignored;
      bus_->call(service, session, sessionInterface, "Stop", nullptr, nullptr, ignored);
    }
    supported_ = supported;
  }
  if (!supported && log_) log_("Host", "Virtual display: not offered: " + why);
  return supported;
}

std::unique_ptr<VirtualDisplayBacking> MutterVirtualDisplays::create(
    const VirtualDisplayRequest& request) {
  const auto started = Clock::now();
  const std::uint32_t width = request.widthPixels, height = request.heightPixels;
  const auto fail = [&](const std::string& why) -> std::unique_ptr<VirtualDisplayBacking> {
    if (log_) log_("Host", "Virtual display: " + why);
    return nullptr;
  };
  if (width < 1 || height < 1 || width > largestSide || height > largestSide) {
    return fail("Mutter makes no monitor of " + sizeText(width, height));
  }
  std::vector<std::string> before;
  for (const auto& monitor : displays_->monitors()) before.push_back(monitor.connector);
  auto display = std::make_unique<MutterVirtualMonitor>(bus_, displays_, log_);
  if (const std::string why = display->open(width, height, before); !why.empty()) {
    display.reset();  // stops what was started before the log line says it failed
    return fail(why);
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  if (log_) {
    log_("Host", "Virtual display: Mutter's monitor " + display->connector() + " of " +
                     sizeText(width, height) + " is up after " + std::to_string(took.count()) +
                     " ms");
  }
  return display;
}

}  // namespace tavelin::wayland
