#pragma once

#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::testing {

// A plain application window on its own connection that writes down the pointer and key events
// it receives, as an ordinary X client would see them: keys are read with the keymap of the
// moment, reloaded whenever the server says it changed.
class InputRecorderWindow {
 public:
  struct Event {
    std::uint8_t type;  // XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY, XCB_KEY_PRESS
    int detail;         // button or keycode
    int x, y;           // window coordinates
    std::uint16_t state;
    std::uint32_t keysym;  // key presses: what the keymap said
    std::uint32_t time;
    std::chrono::steady_clock::time_point received;
  };

  InputRecorderWindow(const std::string& display, const std::string& title, int x, int y, int width,
                      int height)
      : x_(x11::Connection::open(display)) {
    xcb_connection_t* c = x_->get();
    window_ = xcb_generate_id(c);
    const std::uint32_t values[] = {0xF0F0F0,
                                    XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                        XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_KEY_PRESS |
                                        XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, x_->root(), static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      x_->screen().root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    const std::string windowClass = std::string("tavelin-recorder") + '\0' + "TavelinRecorder";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        static_cast<std::uint32_t>(windowClass.size() + 1), windowClass.c_str());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, x_->atom("_NET_WM_NAME"),
                        x_->atom("UTF8_STRING"), 8, static_cast<std::uint32_t>(title.size()),
                        title.data());
    const std::uint32_t pid = static_cast<std::uint32_t>(::getpid());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, x_->atom("_NET_WM_PID"),
                        XCB_ATOM_CARDINAL, 32, 1, &pid);
    xcb_map_window(c, window_);
    loadKeymap();
    x_->sync();
    thread_ = std::thread([this] { run(); });
  }
  ~InputRecorderWindow() {
    running_ = false;
    thread_.join();
    xcb_destroy_window(x_->get(), window_);
    x_->sync();
  }

  xcb_window_t id() const { return window_; }
  // Asks for the window to be shown (again: a window manager still starting may drop the first
  // request).
  void map() {
    xcb_map_window(x_->get(), window_);
    x_->sync();
  }
  x11::Connection& connection() { return *x_; }

  std::vector<Event> events() {
    std::lock_guard guard(lock_);
    return events_;
  }
  void clear() {
    std::lock_guard guard(lock_);
    events_.clear();
  }
  // Waits until `done` holds for the events so far.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [&] { return done(events_); });
  }
  // The characters typed, decoded from the keysyms (Latin-1 and the Unicode range).
  std::u32string text() {
    std::u32string typed;
    for (const auto& event : events()) {
      if (event.type != XCB_KEY_PRESS) continue;
      if ((event.keysym >= 0x20 && event.keysym <= 0x7e) ||
          (event.keysym >= 0xa0 && event.keysym <= 0xff)) {
        typed.push_back(static_cast<char32_t>(event.keysym));
      } else if (event.keysym >= 0x01000100 && event.keysym <= 0x0110ffff) {
        typed.push_back(static_cast<char32_t>(event.keysym - 0x01000000));
      }
    }
    return typed;
  }

 private:
  void loadKeymap() {
    if (auto mapping = x_->keyboardMapping()) keymap_ = std::move(*mapping);
  }
  std::uint32_t keysymOf(int keycode, std::uint16_t state) const {
    const int index = keycode - keymap_.first;
    if (index < 0 || keymap_.perKeycode == 0) return 0;
    const auto at = [&](int column) {
      const auto position = static_cast<std::size_t>(index * keymap_.perKeycode + column);
      return position < keymap_.keysyms.size() ? keymap_.keysyms[position] : 0u;
    };
    const bool shifted = (state & XCB_MOD_MASK_SHIFT) != 0;
    return shifted && keymap_.perKeycode > 1 && at(1) != 0 ? at(1) : at(0);
  }

  void run() {
    xcb_connection_t* c = x_->get();
    while (running_) {
      pollfd wait{xcb_get_file_descriptor(c), POLLIN, 0};
      ::poll(&wait, 1, 20);
      while (auto* raw = xcb_poll_for_event(c)) {
        const auto event = x11::own(raw);
        const std::uint8_t type = raw->response_type & 0x7F;
        const auto now = std::chrono::steady_clock::now();
        if (type == XCB_MAPPING_NOTIFY) {
          loadKeymap();
        } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE ||
                   type == XCB_MOTION_NOTIFY || type == XCB_KEY_PRESS) {
          // These four share their layout.
          const auto* e = reinterpret_cast<const xcb_button_press_event_t*>(raw);
          Event recorded{type,       e->detail,
                         e->event_x, e->event_y,
                         e->state,   type == XCB_KEY_PRESS ? keysymOf(e->detail, e->state) : 0,
                         e->time,    now};
          std::lock_guard guard(lock_);
          events_.push_back(recorded);
          changed_.notify_all();
        }
      }
    }
  }

  std::shared_ptr<x11::Connection> x_;
  xcb_window_t window_ = 0;
  x11::Connection::KeyboardMapping keymap_;  // the event thread's own after construction
  std::atomic<bool> running_{true};
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::thread thread_;
};

}  // namespace tavelin::testing
