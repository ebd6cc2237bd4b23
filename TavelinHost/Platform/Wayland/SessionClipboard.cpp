#include "TavelinHost/Platform/Wayland/SessionClipboard.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>
#include <utility>

#include "TavelinHost/Platform/Wayland/ClipboardText.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"

namespace tavelin::wayland {

namespace {

// How long the focused application has to ask for a paste, and how long a clipboard read of
// the user's own text may take.
constexpr std::chrono::milliseconds pasteWait{1500};
constexpr int readWaitMilliseconds = 1000;
constexpr std::size_t largestSavedClipboard = 1 << 20;
// How long a clipboard manager takes at most to read a new selection.
constexpr std::chrono::milliseconds managerReadWait{250};
// After the application took the text: time to insert it before the clipboard changes back.
constexpr std::chrono::milliseconds pasteSettleTime{100};

// The owner's types: Mutter 43 wraps the list in a struct, "(as)"; a bare "as" is read too.
int readMimeTypes(sd_bus_message* m, std::vector<std::string>& types) {
  char kind = 0;
  const char* contents = nullptr;
  int status = sd_bus_message_peek_type(m, &kind, &contents);
  if (status < 0) return status;
  if (kind != 'v' || !contents) return -EINVAL;
  const bool wrapped = std::string_view(contents) == "(as)";
  if (!wrapped && std::string_view(contents) != "as") return sd_bus_message_skip(m, "v");
  status = sd_bus_message_enter_container(m, 'v', contents);
  if (status >= 0 && wrapped) status = sd_bus_message_enter_container(m, 'r', "as");
  if (status >= 0) status = readStrings(m, types);
  if (status >= 0 && wrapped) status = sd_bus_message_exit_container(m);
  if (status >= 0) status = sd_bus_message_exit_container(m);
  return status;
}

}  // namespace

ClipboardPlace ClipboardPlace::mutter(const std::string& session) {
  return {"org.gnome.Mutter.RemoteDesktop",
          session,
          "org.gnome.Mutter.RemoteDesktop.Session",
          "",
          "mime-types",
          "session-is-owner"};
}

ClipboardPlace ClipboardPlace::portal(const std::string& session) {
  return {"org.freedesktop.portal.Desktop",
          "/org/freedesktop/portal/desktop",
          "org.freedesktop.portal.Clipboard",
          session,
          "mime_types",
          "session_is_owner"};
}

SessionClipboard::SessionClipboard(std::shared_ptr<SessionBus> bus, ClipboardPlace place)
    : bus_(std::move(bus)), place_(std::move(place)) {
  // Both handlers run on the bus thread: they note what happened and leave the answering to
  // the queue. The handles go first in the destructor, then the queue drains.
  ownerSignal_ =
      bus_->subscribe(place_.service, place_.path, place_.interface, "SelectionOwnerChanged",
                      [this](sd_bus_message* m) {
                        if (!ours(m)) return;
                        std::vector<std::string> types;
                        int owned = 0;
                        readVariantDictionary(m, [&](sd_bus_message* v, std::string_view key) {
                          if (key == place_.ownedKey)
                            return sd_bus_message_read(v, "v", "b", &owned);
                          if (key != place_.typesKey) return 0;
                          const int status = readMimeTypes(v, types);
                          return status < 0 ? status : 1;
                        });
                        std::lock_guard guard(lock_);
                        ownerTypes_ = std::move(types);
                        ownedBySession_ = owned != 0;
                        if (watcher_ && !ownedBySession_ && !ownerTypes_.empty()) {
                          queue_.async([this] { report(); });
                        }
                      });
  transferSignal_ = bus_->subscribe(
      place_.service, place_.path, place_.interface, "SelectionTransfer",
      [this](sd_bus_message* m) {
        if (!ours(m)) return;
        const char* type = nullptr;
        std::uint32_t serial = 0;
        if (sd_bus_message_read(m, "su", &type, &serial) < 0 || !type) return;
        queue_.async([this, serial, mimeType = std::string(type)] { serve(serial, mimeType); });
      });
}

SessionClipboard::~SessionClipboard() {
  transferSignal_.reset();
  ownerSignal_.reset();
  queue_.sync([] {});
}

void SessionClipboard::enable(bool enabled) {
  std::lock_guard guard(lock_);
  enabled_ = enabled;
}

bool SessionClipboard::enabled() const {
  std::lock_guard guard(lock_);
  return enabled_;
}

bool SessionClipboard::ours(sd_bus_message* m) const {
  if (place_.sessionHandle.empty()) return true;
  const char* session = nullptr;
  return sd_bus_message_read(m, "o", &session) >= 0 && session && session == place_.sessionHandle;
}

bool SessionClipboard::call(const char* member,
                            const std::function<int(sd_bus_message*)>& arguments,
                            const std::function<int(sd_bus_message*)>& reader) {
  std::string why;
  return bus_->call(
      place_.service, place_.path, place_.interface, member,
      [&](sd_bus_message* m) {
        int status = 0;
        if (!place_.sessionHandle.empty()) {
          status = sd_bus_message_append(m, "o", place_.sessionHandle.c_str());
        }
        if (status >= 0 && arguments) status = arguments(m);
        return status;
      },
      reader, why);
}

bool SessionClipboard::offerText() {
  return call(
      "SetSelection",
      [&](sd_bus_message* m) {
        return appendVariantDictionary(m, [&](sd_bus_message* d) {
          int status = sd_bus_message_open_container(d, 'e', "sv");
          if (status >= 0) status = sd_bus_message_append(d, "s", place_.typesKey.c_str());
          if (status >= 0) status = sd_bus_message_open_container(d, 'v', "as");
          if (status >= 0) status = sd_bus_message_open_container(d, 'a', "s");
          for (const auto& type : clipboardTextTypes()) {
            if (status >= 0) status = sd_bus_message_append(d, "s", type.c_str());
          }
          if (status >= 0) status = sd_bus_message_close_container(d);
          if (status >= 0) status = sd_bus_message_close_container(d);
          if (status >= 0) status = sd_bus_message_close_container(d);
          return status;
        });
      },
      nullptr);
}

// What the clipboard holds now: the session's own offer, or another application's text.
std::optional<std::string> SessionClipboard::saved() {
  {
    std::lock_guard guard(lock_);
    if (ownedBySession_) return offered_;
  }
  bool tooLong = false;
  auto text = readOwnersText(largestSavedClipboard, tooLong);
  if (tooLong) return std::nullopt;
  return text;
}

std::optional<std::string> SessionClipboard::readOwnersText(std::size_t limit, bool& tooLong) {
  tooLong = false;
  std::string type;
  {
    std::lock_guard guard(lock_);
    if (ownedBySession_) return std::nullopt;
    type = bestTextType(ownerTypes_);
  }
  if (type.empty()) return std::nullopt;
  int fd = -1;
  if (!call(
          "SelectionRead",
          [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", type.c_str()); },
          [&](sd_bus_message* m) { return readDescriptor(m, fd); }) ||
      fd < 0) {
    if (fd >= 0) ::close(fd);
    return std::nullopt;
  }
  auto text = readPipe(fd, limit, readWaitMilliseconds, tooLong);
  ::close(fd);
  return text;
}

bool SessionClipboard::set(const std::string& utf8) {
  std::lock_guard pasting(pasting_);  // never between a paste and the putting back
  std::string before;
  {
    std::lock_guard guard(lock_);
    if (!enabled_) return false;
    before = std::exchange(offered_, utf8);
  }
  if (offerText()) return true;
  std::lock_guard guard(lock_);
  offered_ = std::move(before);
  return false;
}

bool SessionClipboard::watch(Watcher watcher, std::size_t limit) {
  std::lock_guard guard(lock_);
  if (!enabled_) return false;
  watcher_ = std::move(watcher);
  watchLimit_ = limit;
  return true;
}

// On the queue: another application took the clipboard.
void SessionClipboard::report() {
  std::size_t limit = 0;
  {
    std::lock_guard guard(lock_);
    limit = watchLimit_;
  }
  bool tooLong = false;
  auto text = readOwnersText(limit, tooLong);
  if (!text && !tooLong) return;  // no text, or the owner gave none
  Watcher watcher;
  {
    std::lock_guard guard(lock_);
    watcher = watcher_;
  }
  if (watcher) watcher(tooLong ? std::nullopt : std::move(text));
}

// On the queue: an application asked for what the session's clipboard holds.
void SessionClipboard::serve(std::uint32_t serial, const std::string& mimeType) {
  std::string text;
  {
    std::lock_guard guard(lock_);
    text = offered_;
  }
  int fd = -1;
  call(
      "SelectionWrite", [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", serial); },
      [&](sd_bus_message* m) { return readDescriptor(m, fd); });
  const bool written = fd >= 0 && isTextType(mimeType) && writeAll(fd, text);
  if (fd >= 0) ::close(fd);
  const int success = written ? 1 : 0;
  call(
      "SelectionWriteDone",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "ub", serial, success); }, nullptr);
  if (written) {
    std::lock_guard guard(lock_);
    ++servedCount_;
  }
  served_.notify_all();
}

bool SessionClipboard::paste(const std::string& text, const std::function<bool()>& chord) {
  std::lock_guard pasting(pasting_);
  if (!enabled()) return false;
  const auto before = saved();
  std::uint64_t served = 0;
  {
    std::lock_guard guard(lock_);
    offered_ = text;
    served = servedCount_;
  }
  if (!offerText()) return false;
  // A clipboard manager (Mutter has one) reads every new selection at once, to keep it when
  // its owner goes; only a transfer after that one is the paste.
  {
    std::unique_lock guard(lock_);
    served_.wait_for(guard, managerReadWait, [&] { return servedCount_ > served; });
    served = servedCount_;
  }
  const bool asked = chord();
  bool taken = false;
  {
    std::unique_lock guard(lock_);
    taken = asked && served_.wait_for(guard, pasteWait, [&] { return servedCount_ > served; });
  }
  if (taken) std::this_thread::sleep_for(pasteSettleTime);
  if (before) {
    {
      std::lock_guard guard(lock_);
      offered_ = *before;
    }
    offerText();
  }
  return taken;
}

}  // namespace tavelin::wayland
