#include "TavelinHost/Platform/X11/X11Clipboard.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace tavelin::x11 {

std::unique_ptr<X11Clipboard> X11Clipboard::open(const std::string& display) {
  auto x = Connection::open(display);
  if (!x) return nullptr;
  return std::unique_ptr<X11Clipboard>(new X11Clipboard(std::move(x)));
}

X11Clipboard::X11Clipboard(std::shared_ptr<Connection> x) : x_(std::move(x)) {
  xcb_connection_t* c = x_->get();
  window_ = xcb_generate_id(c);
  // Never mapped: it only carries the selection and the answers' events.
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, x_->root(), 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  clipboard_ = x_->atom("CLIPBOARD");
  targets_ = x_->atom("TARGETS");
  utf8_ = x_->atom("UTF8_STRING");
  text_ = x_->atom("TEXT");
  plain_ = x_->atom("text/plain");
  plainUtf8_ = x_->atom("text/plain;charset=utf-8");
  xcb_flush(c);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { run(); });
}

void X11Clipboard::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
}

X11Clipboard::~X11Clipboard() {
  running_ = false;
  wake();
  if (thread_.joinable()) thread_.join();
  xcb_destroy_window(x_->get(), window_);  // gives the selection up with it
  xcb_flush(x_->get());
  ::close(wake_);
}

bool X11Clipboard::set(std::string utf8) {
  xcb_connection_t* c = x_->get();
  {
    std::lock_guard guard(lock_);
    offered_ = std::move(utf8);
    owned_ = true;
  }
  xcb_set_selection_owner(c, window_, clipboard_, XCB_CURRENT_TIME);
  auto owner =
      own(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr));
  const bool taken = owner && owner->owner == window_;
  if (!taken) {
    std::lock_guard guard(lock_);
    owned_ = false;
  }
  // Waiting for that reply may have read events off the socket into xcb's queue, where the
  // thread's poll would not see them: it looks again.
  wake();
  return taken;
}

bool X11Clipboard::owns() const {
  std::lock_guard guard(lock_);
  return owned_;
}

void X11Clipboard::run() {
  xcb_connection_t* c = x_->get();
  pollfd waits[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_, POLLIN, 0}};
  while (running_) {
    ::poll(waits, 2, -1);
    if ((waits[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto read = ::read(wake_, &count, sizeof count);
    }
    while (auto* event = xcb_poll_for_event(c)) {
      const auto owned = own(event);
      const std::uint8_t type = event->response_type & 0x7F;
      if (type == XCB_SELECTION_REQUEST) {
        answer(*reinterpret_cast<const xcb_selection_request_event_t*>(event));
      } else if (type == XCB_SELECTION_CLEAR) {
        // Another program copied something: its text is the clipboard now.
        std::lock_guard guard(lock_);
        owned_ = false;
        offered_.clear();
      }
    }
    if (xcb_connection_has_error(c) != 0) return;
  }
}

// The text as UTF-8 for the text types, the list of those for TARGETS; anything else is
// refused (property None), as the selection protocol has it.
void X11Clipboard::answer(const xcb_selection_request_event_t& request) {
  xcb_connection_t* c = x_->get();
  // Old clients ask with no property: they mean the target's name.
  const xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
  std::string offered;
  bool owned = false;
  {
    std::lock_guard guard(lock_);
    offered = offered_;
    owned = owned_;
  }
  // STRING is Latin-1: offered only for text that reads the same in it and in UTF-8.
  const bool ascii =
      std::all_of(offered.begin(), offered.end(), [](char ch) { return (ch & 0x80) == 0; });
  bool answered = false;
  if (owned && request.selection == clipboard_) {
    if (request.target == targets_) {
      std::vector<xcb_atom_t> targets{targets_, utf8_, text_, plain_, plainUtf8_};
      if (ascii) targets.push_back(XCB_ATOM_STRING);
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                          static_cast<std::uint32_t>(targets.size()), targets.data());
      answered = true;
    } else if (request.target == utf8_ || request.target == text_ || request.target == plain_ ||
               request.target == plainUtf8_ || (request.target == XCB_ATOM_STRING && ascii)) {
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property,
                          request.target == text_ ? utf8_ : request.target, 8,
                          static_cast<std::uint32_t>(offered.size()), offered.data());
      answered = true;
    }
  }
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = answered ? property : XCB_NONE;
  xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&notify));
  xcb_flush(c);
}

}  // namespace tavelin::x11
