#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavelin::x11 {

// Owns an xcb reply; xcb allocates replies with malloc.
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> own(Reply* reply) {
  return ReplyPtr<Reply>(reply, &std::free);
}

// One connection to an X server, shared by the adapters. xcb itself is thread-safe; the atom
// cache has its own lock.
class Connection {
 public:
  // Nothing when the display cannot be opened (no X at all: capture is unsupported).
  static std::shared_ptr<Connection> open(const std::string& display = {});
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_window_t root() const { return screen_->root; }
  const xcb_screen_t& screen() const { return *screen_; }

  xcb_atom_t atom(std::string_view name);

  // Property values; nothing when the property is absent or the window is gone.
  std::optional<std::vector<std::uint32_t>> cardinals(xcb_window_t window,
                                                      std::string_view property,
                                                      xcb_atom_t type = XCB_ATOM_ANY);
  std::optional<std::string> bytes(xcb_window_t window, std::string_view property,
                                   xcb_atom_t* typeOut = nullptr);

  // A window's title as UTF-8: _NET_WM_NAME, else WM_NAME (Latin-1 or COMPOUND_TEXT).
  std::string title(xcb_window_t window);

  bool hasWindowManager();

  // The core keyboard mapping as the server has it now: `perKeycode` keysyms for each keycode
  // from `first` on. Nothing when the server does not answer.
  struct KeyboardMapping {
    xcb_keycode_t first = 0;
    int perKeycode = 0;
    std::vector<std::uint32_t> keysyms;
  };
  std::optional<KeyboardMapping> keyboardMapping();
  void flush() { xcb_flush(connection_); }
  // Waits until the server has handled every request sent so far (other connections then see
  // their effects).
  void sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

 private:
  explicit Connection(xcb_connection_t* connection, const xcb_screen_t* screen)
      : connection_(connection), screen_(screen) {}

  xcb_connection_t* connection_;
  const xcb_screen_t* screen_;
  std::mutex lock_;
  std::unordered_map<std::string, xcb_atom_t> atoms_;  // guarded by lock_
};

// COMPOUND_TEXT as xterm and other old clients set it: ASCII, Latin-1 in the right half, and
// UTF-8 between ESC % G and ESC % @. Other character sets come out as '?'.
std::string decodeCompoundText(std::string_view text);
std::string latin1ToUTF8(std::string_view text);

}  // namespace tavelin::x11
