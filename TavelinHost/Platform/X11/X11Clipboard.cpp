#include "TavelinHost/Platform/X11/X11Clipboard.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xfixes.h>

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
  incoming_ = x_->atom("TAVELIN_CLIPBOARD");
  incr_ = x_->atom("INCR");
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
    ++generation_;
  }
  xcb_set_selection_owner(c, window_, clipboard_, XCB_CURRENT_TIME);
  auto owner =
      own(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr));
  const bool taken = owner && owner->owner == window_;
  {
    std::lock_guard guard(lock_);
    ++generation_;  // a loss looked up while this took the selection says nothing of it
    if (!taken) owned_ = false;
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

bool X11Clipboard::watch(Watcher watcher, std::size_t limit) {
  xcb_connection_t* c = x_->get();
  const auto* fixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (fixes == nullptr || fixes->present == 0) return false;
  // XFixes answers only clients that said which version they speak.
  auto version = own(xcb_xfixes_query_version_reply(
      c, xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION), nullptr));
  if (!version || version->major_version < 1) return false;
  {
    std::lock_guard guard(lock_);
    watcher_ = std::move(watcher);
    limit_ = limit;
  }
  fixesEvent_ = fixes->first_event;
  xcb_xfixes_select_selection_input(c, window_, clipboard_,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
  xcb_flush(c);
  wake();
  return true;
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
        // Another program copied something: its text is the clipboard now. Unless this window
        // took the selection back since: the loss of an older offer can arrive after a newer
        // one was made, and must not withdraw it.
        std::uint64_t generation = 0;
        {
          std::lock_guard guard(lock_);
          generation = generation_;
        }
        auto owner =
            own(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard_), nullptr));
        std::lock_guard guard(lock_);
        if (generation == generation_ && (!owner || owner->owner != window_)) {
          owned_ = false;
          offered_.clear();
        }
      } else if (fixesEvent_ != 0 && type == fixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
        const auto& changed = *reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event);
        // Text of its own is the phone's, not news; no owner is no text.
        if (changed.owner != window_ && changed.owner != XCB_NONE) {
          xcb_convert_selection(c, window_, clipboard_, utf8_, incoming_,
                                changed.selection_timestamp);
          xcb_flush(c);
        }
      } else if (type == XCB_SELECTION_NOTIFY) {
        fetch(*reinterpret_cast<const xcb_selection_notify_event_t*>(event));
      }
    }
    if (xcb_connection_has_error(c) != 0) return;
  }
}

// The copied text, once its owner put it on this window (property None: it has none as UTF-8).
void X11Clipboard::fetch(const xcb_selection_notify_event_t& notify) {
  if (notify.requestor != window_ || notify.selection != clipboard_ ||
      notify.property == XCB_NONE) {
    return;
  }
  Watcher watcher;
  std::size_t limit = 0;
  {
    std::lock_guard guard(lock_);
    watcher = watcher_;
    limit = limit_;
  }
  xcb_connection_t* c = x_->get();
  // One 32-bit unit more than the limit: whatever is left after it says the text is too long.
  const auto units = static_cast<std::uint32_t>(limit / 4 + 1);
  auto reply = own(xcb_get_property_reply(
      c, xcb_get_property(c, 1, window_, notify.property, XCB_GET_PROPERTY_TYPE_ANY, 0, units),
      nullptr));
  if (!reply || !watcher) return;
  if (reply->type == incr_) {
    // Sent in parts: far longer than a clipboard worth sharing. Nothing more is asked for, so
    // the owner gives up on its own.
    watcher(std::nullopt);
    return;
  }
  if (reply->format != 8) return;
  const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
  if (reply->bytes_after > 0 || length > limit) {
    watcher(std::nullopt);
    return;
  }
  const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
  watcher(std::string(bytes, length));
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
