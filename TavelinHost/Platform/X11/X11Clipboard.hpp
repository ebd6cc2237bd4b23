#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::x11 {

// Holds text on the CLIPBOARD selection for other programs to paste, as X11 clipboards work:
// the owner answers each program that asks, from a window of its own, until another program
// takes the selection. It can also watch the selection: each time another program takes it,
// it asks that program for the text. Its own connection and thread; `set` and `watch` from any
// thread.
class X11Clipboard {
 public:
  // The text another program copied, or nothing when it is longer than `limit` bytes (or
  // sent in parts, which is how programs send long texts).
  using Watcher = std::function<void(std::optional<std::string>)>;

  // Nothing when the display cannot be opened.
  static std::unique_ptr<X11Clipboard> open(const std::string& display);
  ~X11Clipboard();

  // Takes the selection with `utf8`; false when the server did not give it.
  bool set(std::string utf8);
  // Whether it still owns the selection (no other program took it since).
  bool owns() const;
  // From now on, `watcher` hears of each text another program puts on the clipboard, on this
  // clipboard's thread. False when the server cannot say when the selection changes.
  bool watch(Watcher watcher, std::size_t limit);

 private:
  explicit X11Clipboard(std::shared_ptr<Connection> x);
  void run();
  void wake();
  void answer(const xcb_selection_request_event_t& request);
  void fetch(const xcb_selection_notify_event_t& notify);

  const std::shared_ptr<Connection> x_;
  xcb_window_t window_ = 0;
  xcb_atom_t clipboard_ = 0, targets_ = 0, utf8_ = 0, text_ = 0, plain_ = 0, plainUtf8_ = 0;
  xcb_atom_t incoming_ = 0, incr_ = 0;       // where copied text is received; the parts' type
  std::atomic<std::uint8_t> fixesEvent_{0};  // the first event number of XFixes, once watching
  int wake_ = -1;                            // eventfd: look at the queue again, or stop
  std::atomic<bool> running_{true};
  mutable std::mutex lock_;
  std::string offered_;           // guarded by lock_
  bool owned_ = false;            // guarded by lock_
  std::uint64_t generation_ = 0;  // bumped around each set; guarded by lock_
  Watcher watcher_;               // guarded by lock_
  std::size_t limit_ = 0;         // guarded by lock_
  std::thread thread_;
};

}  // namespace tavelin::x11
