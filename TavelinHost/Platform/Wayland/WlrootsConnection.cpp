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
#include "wlr-foreign-toplevel-management-unstable-v1.h"
#include "wlr-screencopy-unstable-v1.h"
#include "wlr-virtual-pointer-unstable-v1.h"

namespace tavelin::wayland {

struct WlrootsConnection::OutputEntry {
  WlrootsConnection* connection = nullptr;
  std::uint32_t global = 0;
  WlrootsOutput shown;    // what callers see: the state of the last done
  WlrootsOutput pending;  // what the events since then said
  bool announced = false;
};

struct WlrootsConnection::ToplevelEntry {
  WlrootsConnection* connection = nullptr;
  zwlr_foreign_toplevel_handle_v1* handle = nullptr;
  WlrootsToplevel shown;
  WlrootsToplevel pending;
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
    o.displayID = MutterDisplays::displayID("wlr:" + o.name);
    std::lock_guard guard(entry->connection->lock_);
    entry->shown = o;
    entry->announced = true;
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
      std::lock_guard guard(c->lock_);
      c->outputs_.push_back(std::move(entry));
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
    } else if (kind == zwlr_foreign_toplevel_manager_v1_interface.name && !c->toplevelManager_) {
      c->toplevelManager_ = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
          registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, 3u)));
      static const zwlr_foreign_toplevel_manager_v1_listener listener{toplevel, finished};
      zwlr_foreign_toplevel_manager_v1_add_listener(c->toplevelManager_, &listener, c);
      c->toplevelsOffered_ = true;
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
    wl_output_destroy(gone->pending.output);
  }

  static void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                       zwlr_foreign_toplevel_handle_v1* handle) {
    auto* c = static_cast<WlrootsConnection*>(data);
    auto entry = std::make_unique<ToplevelEntry>();
    entry->connection = c;
    entry->handle = handle;
    static const zwlr_foreign_toplevel_handle_v1_listener listener{
        toplevelTitle, toplevelAppID, toplevelOutput, toplevelOutput,
        toplevelState, toplevelDone,  toplevelClosed, toplevelParent};
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &listener, entry.get());
    std::lock_guard guard(c->lock_);
    entry->pending.handle = entry->shown.handle = ++c->nextToplevel_;
    c->toplevels_.push_back(std::move(entry));
  }
  static void finished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
    auto* c = static_cast<WlrootsConnection*>(data);
    zwlr_foreign_toplevel_manager_v1_destroy(manager);
    c->toplevelManager_ = nullptr;
    c->toplevelsOffered_ = false;
  }
  static void toplevelTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
    static_cast<ToplevelEntry*>(data)->pending.title = title ? title : "";
  }
  static void toplevelAppID(void* data, zwlr_foreign_toplevel_handle_v1*, const char* id) {
    static_cast<ToplevelEntry*>(data)->pending.appID = id ? id : "";
  }
  static void toplevelOutput(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
  static void toplevelState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
    auto* entry = static_cast<ToplevelEntry*>(data);
    entry->pending.activated = entry->pending.minimized = false;
    const auto* state = static_cast<const std::uint32_t*>(states->data);
    for (std::size_t i = 0; i < states->size / sizeof(std::uint32_t); ++i) {
      if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED)
        entry->pending.activated = true;
      if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED)
        entry->pending.minimized = true;
    }
  }
  static void toplevelDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
    auto* entry = static_cast<ToplevelEntry*>(data);
    std::lock_guard guard(entry->connection->lock_);
    entry->shown = entry->pending;
  }
  static void toplevelClosed(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
    auto* entry = static_cast<ToplevelEntry*>(data);
    WlrootsConnection* c = entry->connection;
    zwlr_foreign_toplevel_handle_v1_destroy(handle);
    std::lock_guard guard(c->lock_);
    std::erase_if(c->toplevels_, [&](const auto& e) { return e.get() == entry; });
  }
  static void toplevelParent(void*, zwlr_foreign_toplevel_handle_v1*,
                             zwlr_foreign_toplevel_handle_v1*) {}
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
  for (const auto& entry : toplevels_) zwlr_foreign_toplevel_handle_v1_destroy(entry->handle);
  for (const auto& entry : outputs_) wl_output_destroy(entry->pending.output);
  if (toplevelManager_) zwlr_foreign_toplevel_manager_v1_destroy(toplevelManager_);
  if (screencopy_) zwlr_screencopy_manager_v1_destroy(screencopy_);
  if (pointerManager_) zwlr_virtual_pointer_manager_v1_destroy(pointerManager_);
  if (keyboardManager_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboardManager_));
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

std::vector<WlrootsToplevel> WlrootsConnection::toplevels() const {
  std::lock_guard guard(lock_);
  std::vector<WlrootsToplevel> shown;
  for (const auto& entry : toplevels_) shown.push_back(entry->shown);
  return shown;
}

bool WlrootsConnection::activate(std::uint32_t handle) {
  bool found = false;
  call([&] {
    if (!seat_) return;
    zwlr_foreign_toplevel_handle_v1* toplevel = nullptr;
    {
      std::lock_guard guard(lock_);
      for (const auto& entry : toplevels_) {
        if (entry->shown.handle == handle) toplevel = entry->handle;
      }
    }
    if (!toplevel) return;
    zwlr_foreign_toplevel_handle_v1_activate(toplevel, seat_);
    found = roundtrip();
  });
  return found;
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
