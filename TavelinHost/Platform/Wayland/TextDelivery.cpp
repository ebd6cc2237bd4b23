#include "TavelinHost/Platform/Wayland/TextDelivery.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "TavelinHost/Platform/KeySymbols.hpp"
#include "TavelinHost/Platform/Wayland/ClipboardText.hpp"
#include "TavelinHost/Platform/Wayland/MutterRemoteDesktop.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"
#include "TavelinHost/Platform/Wayland/WaylandKeymap.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin::wayland {

namespace {

constexpr const char* service = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
// How long the focused application has to ask for a paste, and how long a clipboard read of
// the user's own text may take.
constexpr std::chrono::milliseconds pasteWait{1500};
constexpr int readWaitMilliseconds = 1000;
constexpr std::size_t largestSavedClipboard = 1 << 20;
// How long Mutter's clipboard manager takes at most to read a new selection.
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

TextDelivery::TextDelivery(std::shared_ptr<SessionBus> bus, std::string session,
                           MutterRemoteDesktop& keys)
    : bus_(std::move(bus)),
      session_(std::move(session)),
      keys_(keys),
      keymap_(WaylandKeymap::connect()) {
  // Both handlers run on the bus thread: they note what happened and leave the answering to
  // the clipboard queue. The handles go first in the destructor, then that queue drains.
  ownerSignal_ = bus_->subscribe(
      service, session_, sessionInterface, "SelectionOwnerChanged", [this](sd_bus_message* m) {
        std::vector<std::string> types;
        int owned = 0;
        readVariantDictionary(m, [&](sd_bus_message* v, std::string_view key) {
          if (key == "session-is-owner") return sd_bus_message_read(v, "v", "b", &owned);
          if (key != "mime-types") return 0;
          const int status = readMimeTypes(v, types);
          return status < 0 ? status : 1;
        });
        std::lock_guard guard(lock_);
        ownerTypes_ = std::move(types);
        ownedBySession_ = owned != 0;
        if (watcher_ && !ownedBySession_ && !ownerTypes_.empty()) {
          clipboard_.async([this] { report(); });
        }
      });
  transferSignal_ = bus_->subscribe(
      service, session_, sessionInterface, "SelectionTransfer", [this](sd_bus_message* m) {
        const char* type = nullptr;
        std::uint32_t serial = 0;
        if (sd_bus_message_read(m, "su", &type, &serial) < 0 || !type) return;
        clipboard_.async([this, serial, mimeType = std::string(type)] { serve(serial, mimeType); });
      });
  std::string why;
  enabled_ = bus_->call(
      service, session_, sessionInterface, "EnableClipboard",
      [](sd_bus_message* m) { return appendVariantDictionary(m, nullptr); }, nullptr, why);
}

TextDelivery::~TextDelivery() {
  transferSignal_.reset();
  ownerSignal_.reset();
  clipboard_.sync([] {});
}

std::vector<TextRun> planText(const std::u32string& characters,
                              const std::function<bool(std::uint32_t keysym)>& layoutTypes) {
  std::vector<TextRun> runs;
  for (const char32_t character : characters) {
    const std::uint32_t keysym = keys::keysymFor(character);
    if (keysym == keys::noSymbol) continue;
    const bool isKey = keysym >= 0xff00 && keysym <= 0xffff;  // on every layout
    const bool pasted = !isKey && !layoutTypes(keysym);
    if (runs.empty() || runs.back().pasted != pasted) runs.push_back({pasted, {}, {}});
    if (pasted) {
      runs.back().characters.push_back(character);
    } else {
      runs.back().keysyms.push_back(keysym);
    }
  }
  return runs;
}

std::size_t TextDelivery::type(const std::u32string& characters) {
  std::lock_guard typing(typing_);
  // The seat has a keyboard only once the session's virtual one exists.
  if (!keymap_) keymap_ = WaylandKeymap::connect();
  if (keymap_) keymap_->refresh();
  std::size_t lost = 0;
  const auto runs =
      planText(characters, [&](std::uint32_t keysym) { return keymap_ && keymap_->types(keysym); });
  for (const auto& run : runs) {
    if (run.pasted) {
      if (!paste(unicode::utf8(run.characters))) lost += run.characters.size();
      continue;
    }
    for (const std::uint32_t keysym : run.keysyms) {
      if (!keys_.keysym(keysym, true) || !keys_.keysym(keysym, false)) ++lost;
    }
  }
  return lost;
}

bool TextDelivery::setSelection(const std::vector<std::string>& mimeTypes) {
  std::string why;
  return bus_->call(
      service, session_, sessionInterface, "SetSelection",
      [&](sd_bus_message* m) {
        return appendVariantDictionary(m, [&](sd_bus_message* d) {
          int status = sd_bus_message_open_container(d, 'e', "sv");
          if (status >= 0) status = sd_bus_message_append(d, "s", "mime-types");
          if (status >= 0) status = sd_bus_message_open_container(d, 'v', "as");
          if (status >= 0) status = sd_bus_message_open_container(d, 'a', "s");
          for (const auto& type : mimeTypes) {
            if (status >= 0) status = sd_bus_message_append(d, "s", type.c_str());
          }
          if (status >= 0) status = sd_bus_message_close_container(d);
          if (status >= 0) status = sd_bus_message_close_container(d);
          if (status >= 0) status = sd_bus_message_close_container(d);
          return status;
        });
      },
      nullptr, why);
}

// What the clipboard holds now: the session's own offer, or another application's text.
std::optional<std::string> TextDelivery::savedClipboard() {
  {
    std::lock_guard guard(lock_);
    if (ownedBySession_) return offered_;
  }
  bool tooLong = false;
  auto text = readOwnersText(largestSavedClipboard, tooLong);
  if (tooLong) return std::nullopt;
  return text;
}

std::optional<std::string> TextDelivery::readOwnersText(std::size_t limit, bool& tooLong) {
  tooLong = false;
  std::string type;
  {
    std::lock_guard guard(lock_);
    if (ownedBySession_) return std::nullopt;
    type = bestTextType(ownerTypes_);
  }
  if (type.empty()) return std::nullopt;
  int fd = -1;
  std::string why;
  if (!bus_->call(
          service, session_, sessionInterface, "SelectionRead",
          [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", type.c_str()); },
          [&](sd_bus_message* m) { return readDescriptor(m, fd); }, why) ||
      fd < 0) {
    return std::nullopt;
  }
  auto text = readPipe(fd, limit, readWaitMilliseconds, tooLong);
  ::close(fd);
  return text;
}

bool TextDelivery::setClipboard(const std::string& utf8) {
  std::lock_guard typing(typing_);  // never between a paste and the putting back
  if (!enabled_) return false;
  std::string before;
  {
    std::lock_guard guard(lock_);
    before = std::exchange(offered_, utf8);
  }
  if (setSelection(clipboardTextTypes())) return true;
  std::lock_guard guard(lock_);
  offered_ = std::move(before);
  return false;
}

bool TextDelivery::watch(Watcher watcher, std::size_t limit) {
  if (!enabled_) return false;
  std::lock_guard guard(lock_);
  watcher_ = std::move(watcher);
  watchLimit_ = limit;
  return true;
}

// On the clipboard queue: another application took the clipboard.
void TextDelivery::report() {
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

// On the clipboard queue: an application asked for what the session's clipboard holds.
void TextDelivery::serve(std::uint32_t serial, const std::string& mimeType) {
  std::string text;
  {
    std::lock_guard guard(lock_);
    text = offered_;
  }
  const bool isText = isTextType(mimeType);
  int fd = -1;
  std::string why;
  bus_->call(
      service, session_, sessionInterface, "SelectionWrite",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", serial); },
      [&](sd_bus_message* m) { return readDescriptor(m, fd); }, why);
  const bool written = fd >= 0 && isText && writeAll(fd, text);
  if (fd >= 0) ::close(fd);
  const int success = written ? 1 : 0;
  bus_->call(
      service, session_, sessionInterface, "SelectionWriteDone",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "ub", serial, success); }, nullptr,
      why);
  if (written) {
    std::lock_guard guard(lock_);
    ++servedCount_;
  }
  served_.notify_all();
}

bool TextDelivery::paste(const std::string& text) {
  if (!enabled_) return false;
  const auto saved = savedClipboard();
  std::uint64_t before = 0;
  {
    std::lock_guard guard(lock_);
    offered_ = text;
    before = servedCount_;
  }
  if (!setSelection(clipboardTextTypes())) return false;
  // Mutter's clipboard manager reads every new selection at once, to keep it when its owner
  // goes; only a transfer after that one is the paste.
  {
    std::unique_lock guard(lock_);
    served_.wait_for(guard, managerReadWait, [&] { return servedCount_ > before; });
    before = servedCount_;
  }
  const bool chord = keys_.keysym(shift, true) && keys_.keysym(insert, true) &&
                     keys_.keysym(insert, false) && keys_.keysym(shift, false);
  bool taken = false;
  {
    std::unique_lock guard(lock_);
    taken = chord && served_.wait_for(guard, pasteWait, [&] { return servedCount_ > before; });
  }
  if (taken) std::this_thread::sleep_for(pasteSettleTime);
  if (saved) {
    {
      std::lock_guard guard(lock_);
      offered_ = *saved;
    }
    setSelection(clipboardTextTypes());
  }
  return taken;
}

}  // namespace tavelin::wayland
