#include "TavelinHost/Platform/Wayland/WlrootsConnection.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <wayland-client.h>

#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "virtual-keyboard-unstable-v1.h"
#include "wlr-data-control-unstable-v1.h"
#include "wlr-screencopy-unstable-v1.h"
#include "wlr-virtual-pointer-unstable-v1.h"
#include "xdg-output-unstable-v1.h"

namespace tavelin::wayland {

struct WlrootsConnection::OutputEntry {
  WlrootsConnection* connection = nullptr;
  std::uint32_t global = 0;
  WlrootsOutput shown;    // what callers see: the state of the last done
  WlrootsOutput pending;  // what the events since then said
  bool announced = false;
  // Where it lies in the logical layout, from xdg-output (wl_output says 0,0 on wlroots).
  zxdg_output_v1* logical = nullptr;
  std::optional<ScreenRect> logicalBounds;
};

struct WlrootsConnection::Listeners {
  static void outputGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t,
                             std::int32_t, std::int32_t, const char*, const char*, std::int32_t) {
    auto* entry = static_cast<OutputEntry*>(data);
    entry->pending.bounds.x = x;
    entry->pending.bounds.y = y;
  }
  static void outputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width,
                         std::int32_t height, std::int32_t) {
    if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
    auto* entry = static_cast<OutputEntry*>(data);
    entry->pending.pixelWidth = width;
    entry->pending.pixelHeight = height;
  }
  static void outputScale(void* data, wl_output*, std::int32_t factor) {
    static_cast<OutputEntry*>(data)->pending.scale = std::max(1, factor);
  }
  static void outputName(void* data, wl_output*, const char* name) {
    static_cast<OutputEntry*>(data)->pending.name = name ? name : "";
  }
  static void outputDescription(void*, wl_output*, const char*) {}
  static void outputDone(void* data, wl_output*) {
    auto* entry = static_cast<OutputEntry*>(data);
    WlrootsOutput& o = entry->pending;
    if (o.name.empty()) o.name = "output-" + std::to_string(entry->global);
    o.bounds.width = static_cast<double>(o.pixelWidth) / o.scale;
    o.bounds.height = static_cast<double>(o.pixelHeight) / o.scale;
    if (entry->logicalBounds && entry->logicalBounds->width > 0) o.bounds = *entry->logicalBounds;
    o.displayID = MutterDisplays::displayID("wlr:" + o.name);
    std::lock_guard guard(entry->connection->lock_);
    entry->shown = o;
    entry->announced = true;
  }

  static void logicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
    auto& bounds = static_cast<OutputEntry*>(data)->logicalBounds;
    if (!bounds) bounds = ScreenRect{};
    bounds->x = x;
    bounds->y = y;
  }
  static void logicalSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
    auto& bounds = static_cast<OutputEntry*>(data)->logicalBounds;
    if (!bounds) bounds = ScreenRect{};
    bounds->width = width;
    bounds->height = height;
  }
  // Before version 3 the logical description ends with its own done.
  static void logicalDone(void* data, zxdg_output_v1*) {
    auto* entry = static_cast<OutputEntry*>(data);
    if (entry->announced) outputDone(data, entry->pending.output);
  }
  static void logicalName(void*, zxdg_output_v1*, const char*) {}
  static void watchLogical(WlrootsConnection* c, OutputEntry& entry) {
    if (!c->outputManager_ || entry.logical) return;
    entry.logical = zxdg_output_manager_v1_get_xdg_output(c->outputManager_, entry.pending.output);
    static const zxdg_output_v1_listener listener{logicalPosition, logicalSize, logicalDone,
                                                  logicalName, logicalName};
    zxdg_output_v1_add_listener(entry.logical, &listener, &entry);
  }

  static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
    auto* c = static_cast<WlrootsConnection*>(data);
    const std::string_view kind(interface);
    if (kind == wl_output_interface.name) {
      auto entry = std::make_unique<OutputEntry>();
      entry->connection = c;
      entry->global = name;
      auto* output = static_cast<wl_output*>(
          wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
      entry->pending.output = output;
      static const wl_output_listener listener{outputGeometry, outputMode, outputDone,
                                               outputScale,    outputName, outputDescription};
      wl_output_add_listener(output, &listener, entry.get());
      watchLogical(c, *entry);
      std::lock_guard guard(c->lock_);
      c->outputs_.push_back(std::move(entry));
    } else if (kind == zxdg_output_manager_v1_interface.name && !c->outputManager_) {
      c->outputManager_ = static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
          registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
      for (const auto& entry : c->outputs_) watchLogical(c, *entry);
    } else if (kind == wl_shm_interface.name && !c->shm_) {
      c->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (kind == wl_seat_interface.name && !c->seat_) {
      c->seat_ = static_cast<wl_seat*>(
          wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 5u)));
    } else if (kind == zwlr_screencopy_manager_v1_interface.name && !c->screencopy_) {
      c->screencopyVersion_ = std::min(version, 3u);
      c->screencopy_ = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
          registry, name, &zwlr_screencopy_manager_v1_interface, c->screencopyVersion_));
    } else if (kind == zwlr_virtual_pointer_manager_v1_interface.name && !c->pointerManager_) {
      c->pointerManager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
          wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    } else if (kind == zwp_virtual_keyboard_manager_v1_interface.name && !c->keyboardManager_) {
      c->keyboardManager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
          wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    } else if (kind == zwlr_data_control_manager_v1_interface.name && !c->dataControl_) {
      c->dataControl_ = static_cast<zwlr_data_control_manager_v1*>(
          wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    }
  }
  static void globalRemove(void* data, wl_registry*, std::uint32_t name) {
    auto* c = static_cast<WlrootsConnection*>(data);
    std::unique_ptr<OutputEntry> gone;
    {
      std::lock_guard guard(c->lock_);
      const auto found = std::find_if(c->outputs_.begin(), c->outputs_.end(),
                                      [&](const auto& entry) { return entry->global == name; });
      if (found == c->outputs_.end()) return;
      gone = std::move(*found);
      c->outputs_.erase(found);
    }
    if (gone->logical) zxdg_output_v1_destroy(gone->logical);
    wl_output_destroy(gone->pending.output);
  }
};

std::shared_ptr<WlrootsConnection> WlrootsConnection::connect(std::string& why) {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    why = "no Wayland compositor answers at WAYLAND_DISPLAY";
    return nullptr;
  }
  std::shared_ptr<WlrootsConnection> c(new WlrootsConnection());
  c->display_ = display;
  c->registry_ = wl_display_get_registry(display);
  static const wl_registry_listener listener{Listeners::global, Listeners::globalRemove};
  wl_registry_add_listener(c->registry_, &listener, c.get());
  // The globals, then what the outputs say of themselves.
  if (wl_display_roundtrip(display) < 0 || wl_display_roundtrip(display) < 0) {
    why = "the Wayland compositor did not answer";
    return nullptr;
  }
  c->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (c->wakeFd_ < 0) {
    why = std::string("no eventfd: ") + std::strerror(errno);
    return nullptr;
  }
  c->thread_ = std::thread([raw = c.get()] { raw->loop(); });
  return c;
}

WlrootsConnection::~WlrootsConnection() {
  if (thread_.joinable()) {
    {
      std::lock_guard guard(tasksLock_);
      stopping_ = true;
    }
    wake();
    thread_.join();
  }
  // The compositor forgets everything of ours when the connection closes; our side of each
  // object goes first.
  for (const auto& entry : outputs_) {
    if (entry->logical) zxdg_output_v1_destroy(entry->logical);
    wl_output_destroy(entry->pending.output);
  }
  if (outputManager_) zxdg_output_manager_v1_destroy(outputManager_);
  if (screencopy_) zwlr_screencopy_manager_v1_destroy(screencopy_);
  if (pointerManager_) zwlr_virtual_pointer_manager_v1_destroy(pointerManager_);
  if (keyboardManager_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboardManager_));
  if (dataControl_) zwlr_data_control_manager_v1_destroy(dataControl_);
  if (seat_) wl_seat_destroy(seat_);
  if (shm_) wl_shm_destroy(shm_);
  if (registry_) wl_registry_destroy(registry_);
  if (display_) wl_display_disconnect(display_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void WlrootsConnection::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void WlrootsConnection::post(std::function<void()> work, Clock::time_point at) {
  {
    std::lock_guard guard(tasksLock_);
    if (stopping_) return;
    tasks_.push_back({at, std::move(work)});
  }
  wake();
}

void WlrootsConnection::call(const std::function<void()>& work) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    work();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  post([&] {
    work();
    done.set_value();
  });
  // A connection that stops meanwhile drops the task: do not wait for it then.
  while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    std::lock_guard guard(tasksLock_);
    if (stopping_) return;
  }
}

bool WlrootsConnection::alive() const {
  std::lock_guard guard(lock_);
  return !broken_;
}

bool WlrootsConnection::roundtrip() { return wl_display_roundtrip(display_) >= 0; }

std::vector<WlrootsOutput> WlrootsConnection::outputs() const {
  std::lock_guard guard(lock_);
  std::vector<WlrootsOutput> shown;
  for (const auto& entry : outputs_) {
    if (entry->announced) shown.push_back(entry->shown);
  }
  return shown;
}

wl_output* WlrootsConnection::outputNamed(const std::string& name) const {
  std::lock_guard guard(lock_);
  for (const auto& entry : outputs_) {
    if (entry->announced && entry->shown.name == name) return entry->pending.output;
  }
  return nullptr;
}

void WlrootsConnection::loop() {
  const int fd = wl_display_get_fd(display_);
  auto markBroken = [this] {
    std::lock_guard guard(lock_);
    broken_ = true;
  };
  auto drainWake = [this] {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
  };
  for (;;) {
    std::vector<Task> due;
    auto next = Clock::time_point::max();
    {
      std::lock_guard guard(tasksLock_);
      if (stopping_) return;
      const auto now = Clock::now();
      auto kept = std::stable_partition(tasks_.begin(), tasks_.end(),
                                        [&](const Task& task) { return task.at > now; });
      std::move(kept, tasks_.end(), std::back_inserter(due));
      tasks_.erase(kept, tasks_.end());
      for (const auto& task : tasks_) next = std::min(next, task.at);
    }
    if (!due.empty()) {
      for (auto& task : due) task.work();  // in the order they were posted
      continue;
    }
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
      timeout = static_cast<int>(std::clamp<long long>(wait, 0, 60000));
    }
    if (!alive()) {
      // The compositor is gone: tasks still run (and find it gone), so no caller waits forever.
      pollfd wakeOnly{wakeFd_, POLLIN, 0};
      ::poll(&wakeOnly, 1, timeout);
      drainWake();
      continue;
    }
    if (wl_display_prepare_read(display_) != 0) {
      if (wl_display_dispatch_pending(display_) < 0) markBroken();
      continue;
    }
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display_);
      markBroken();
      continue;
    }
    pollfd watched[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(watched, 2, timeout);
    if (ready > 0 && (watched[0].revents & (POLLIN | POLLERR | POLLHUP))) {
      if (wl_display_read_events(display_) < 0) markBroken();
    } else {
      wl_display_cancel_read(display_);
    }
    if (ready > 0 && (watched[1].revents & POLLIN)) drainWake();
    if (alive() && wl_display_dispatch_pending(display_) < 0) markBroken();
  }
}

}  // namespace tavelin::wayland
