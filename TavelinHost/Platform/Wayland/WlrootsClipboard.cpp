#include "TavelinHost/Platform/Wayland/WlrootsClipboard.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <wayland-client.h>

#include "TavelinHost/Platform/Wayland/ClipboardText.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsConnection.hpp"
#include "wlr-data-control-unstable-v1.h"

namespace tavelin::wayland {

namespace {

// How long a copying client may pause while it writes its text.
constexpr int readWaitMilliseconds = 1000;

}  // namespace

struct WlrootsClipboard::Listeners {
  static void offerType(void* data, zwlr_data_control_offer_v1* offer, const char* type) {
    auto* self = static_cast<WlrootsClipboard*>(data);
    if (const auto found = self->offers_.find(offer); found != self->offers_.end() && type) {
      found->second.emplace_back(type);
    }
  }
  static void dataOffer(void* data, zwlr_data_control_device_v1*,
                        zwlr_data_control_offer_v1* offer) {
    auto* self = static_cast<WlrootsClipboard*>(data);
    self->offers_[offer] = {};
    static const zwlr_data_control_offer_v1_listener listener{offerType};
    zwlr_data_control_offer_v1_add_listener(offer, &listener, self);
  }
  static void selection(void* data, zwlr_data_control_device_v1*,
                        zwlr_data_control_offer_v1* offer) {
    static_cast<WlrootsClipboard*>(data)->selection(offer);
  }
  static void finished(void* data, zwlr_data_control_device_v1* device) {
    auto* self = static_cast<WlrootsClipboard*>(data);
    self->dropOffersBut(nullptr);
    zwlr_data_control_device_v1_destroy(device);
    self->device_ = nullptr;
  }
  // A client asks for our text.
  static void send(void* data, zwlr_data_control_source_v1* source, const char* type, int fd) {
    auto* self = static_cast<WlrootsClipboard*>(data);
    const auto found = self->sources_.find(source);
    if (found == self->sources_.end() || !type || !isTextType(type)) {
      ::close(fd);
      return;
    }
    self->pipes_.async([fd, text = found->second] {
      writeAll(fd, text);
      ::close(fd);
    });
  }
  static void cancelled(void* data, zwlr_data_control_source_v1* source) {
    auto* self = static_cast<WlrootsClipboard*>(data);
    self->sources_.erase(source);
    if (self->newest_ == source) self->newest_ = nullptr;
    zwlr_data_control_source_v1_destroy(source);
  }
};

std::unique_ptr<WlrootsClipboard> WlrootsClipboard::make(
    std::shared_ptr<WlrootsConnection> connection) {
  if (!connection || !connection->offersDataControl() || !connection->seat()) return nullptr;
  std::unique_ptr<WlrootsClipboard> clipboard(new WlrootsClipboard(std::move(connection)));
  bool made = false;
  clipboard->connection_->call([&] {
    auto* raw = clipboard.get();
    raw->device_ = zwlr_data_control_manager_v1_get_data_device(raw->connection_->dataControl(),
                                                                raw->connection_->seat());
    static const zwlr_data_control_device_v1_listener listener{
        Listeners::dataOffer, Listeners::selection, Listeners::finished};
    zwlr_data_control_device_v1_add_listener(raw->device_, &listener, raw);
    // The clipboard as it is now arrives here, before anyone watches.
    made = raw->connection_->roundtrip() && raw->device_;
  });
  if (!made) return nullptr;
  return clipboard;
}

WlrootsClipboard::WlrootsClipboard(std::shared_ptr<WlrootsConnection> connection)
    : connection_(std::move(connection)) {}

WlrootsClipboard::~WlrootsClipboard() {
  connection_->call([this] { release(); });
  pipes_.sync([] {});
}

// On the connection's thread.
void WlrootsClipboard::release() {
  dropOffersBut(nullptr);
  for (const auto& [source, text] : sources_) zwlr_data_control_source_v1_destroy(source);
  sources_.clear();
  newest_ = nullptr;
  if (device_) zwlr_data_control_device_v1_destroy(device_);
  device_ = nullptr;
  wl_display_flush(connection_->display());
}

void WlrootsClipboard::dropOffersBut(zwlr_data_control_offer_v1* kept) {
  for (auto it = offers_.begin(); it != offers_.end();) {
    if (it->first == kept) {
      ++it;
      continue;
    }
    zwlr_data_control_offer_v1_destroy(it->first);
    it = offers_.erase(it);
  }
}

// On the connection's thread: the seat's clipboard changed.
void WlrootsClipboard::selection(zwlr_data_control_offer_v1* offer) {
  dropOffersBut(offer);
  // Ours while our newest text was not cancelled: another client's copy cancels it first.
  if (!offer || newest_) return;
  EventPoster::ClipboardWatcher watcher;
  std::size_t limit = 0;
  {
    std::lock_guard guard(lock_);
    watcher = watcher_;
    limit = limit_;
  }
  const std::string type = bestTextType(offers_[offer]);
  if (!watcher || type.empty()) return;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;
  zwlr_data_control_offer_v1_receive(offer, type.c_str(), ends[1]);
  wl_display_flush(connection_->display());
  ::close(ends[1]);
  pipes_.async([fd = ends[0], limit, watcher = std::move(watcher)] {
    bool tooLong = false;
    auto text = readPipe(fd, limit, readWaitMilliseconds, tooLong);
    ::close(fd);
    if (text || tooLong) watcher(std::move(text));
  });
}

bool WlrootsClipboard::set(const std::string& utf8) {
  bool set = false;
  connection_->call([&] {
    if (!device_) return;
    auto* source = zwlr_data_control_manager_v1_create_data_source(connection_->dataControl());
    if (!source) return;
    static const zwlr_data_control_source_v1_listener listener{Listeners::send,
                                                               Listeners::cancelled};
    zwlr_data_control_source_v1_add_listener(source, &listener, this);
    for (const auto& type : clipboardTextTypes()) {
      zwlr_data_control_source_v1_offer(source, type.c_str());
    }
    sources_[source] = utf8;
    newest_ = source;
    zwlr_data_control_device_v1_set_selection(device_, source);
    set = wl_display_flush(connection_->display()) >= 0;
  });
  return set;
}

void WlrootsClipboard::watch(EventPoster::ClipboardWatcher watcher, std::size_t limit) {
  std::lock_guard guard(lock_);
  watcher_ = std::move(watcher);
  limit_ = limit;
}

}  // namespace tavelin::wayland
