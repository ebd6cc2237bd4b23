#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TavelinKit/Model/Geometry.hpp"

struct wl_display;
struct wl_output;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct zwlr_data_control_manager_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zxdg_output_manager_v1;

namespace tavelin::wayland {

// An output of the compositor as its wl_output describes it.
struct WlrootsOutput {
  std::string name;    // "HEADLESS-1", "eDP-1"
  ScreenRect bounds;   // logical pixels in the compositor's layout
  int pixelWidth = 0;  // its current mode
  int pixelHeight = 0;
  int scale = 1;
  std::uint32_t displayID = 0;
  wl_output* output = nullptr;  // for requests, on the connection's thread only
};

// The host's own client connection to a wlroots compositor (sway and its kin), with the globals
// the wlroots backend speaks: outputs, shared memory, the seat, screencopy, and the virtual
// pointer and keyboard. Every Wayland object lives on the connection's own thread; other
// threads hand work to it. The connection ends with the object.
class WlrootsConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to WAYLAND_DISPLAY and reads the globals and the outputs (two roundtrips); nothing,
  // with the reason, when there is no compositor to reach.
  static std::shared_ptr<WlrootsConnection> connect(std::string& why);
  ~WlrootsConnection();
  WlrootsConnection(const WlrootsConnection&) = delete;
  WlrootsConnection& operator=(const WlrootsConnection&) = delete;

  // Which of the protocols the compositor offers.
  bool offersScreencopy() const { return screencopyVersion_ > 0; }
  std::uint32_t screencopyVersion() const { return screencopyVersion_; }
  bool offersVirtualPointer() const { return pointerManager_ != nullptr; }
  bool offersVirtualKeyboard() const { return keyboardManager_ != nullptr; }
  bool offersDataControl() const { return dataControl_ != nullptr; }

  // Runs `work` on the connection's thread and waits for it (at once when already there).
  void call(const std::function<void()>& work);
  // Runs `work` on the connection's thread, at `at` at the earliest.
  void post(std::function<void()> work, Clock::time_point at = {});
  // Whether the compositor still answers.
  bool alive() const;

  // The outputs now, in the order the compositor announced them.
  std::vector<WlrootsOutput> outputs() const;

  // On the connection's thread only.
  wl_display* display() const { return display_; }
  wl_shm* shm() const { return shm_; }
  wl_seat* seat() const { return seat_; }
  zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
  zwlr_virtual_pointer_manager_v1* pointerManager() const { return pointerManager_; }
  zwp_virtual_keyboard_manager_v1* keyboardManager() const { return keyboardManager_; }
  zwlr_data_control_manager_v1* dataControl() const { return dataControl_; }
  // A roundtrip from the connection's thread: everything asked before is done by the compositor.
  bool roundtrip();
  wl_output* outputNamed(const std::string& name) const;

  struct Listeners;

 private:
  WlrootsConnection() = default;
  void loop();
  void wake();

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_shm* shm_ = nullptr;
  wl_seat* seat_ = nullptr;
  zwlr_screencopy_manager_v1* screencopy_ = nullptr;
  std::uint32_t screencopyVersion_ = 0;
  zwlr_virtual_pointer_manager_v1* pointerManager_ = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager_ = nullptr;
  zwlr_data_control_manager_v1* dataControl_ = nullptr;
  zxdg_output_manager_v1* outputManager_ = nullptr;
  int wakeFd_ = -1;

  struct OutputEntry;
  // Touched on the connection's thread; read elsewhere under lock_.
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<OutputEntry>> outputs_;
  bool broken_ = false;

  struct Task {
    Clock::time_point at;
    std::function<void()> work;
  };
  std::mutex tasksLock_;
  std::vector<Task> tasks_;  // guarded by tasksLock_
  bool stopping_ = false;    // guarded by tasksLock_
  std::thread thread_;
};

}  // namespace tavelin::wayland
