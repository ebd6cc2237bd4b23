#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"

struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

namespace tavelin::wayland {

class WlrootsConnection;

// The seat's clipboard on a wlroots compositor through data control, which needs no window and
// no focus: text the host puts there stays the clipboard until another client takes it, and
// each text another client copies is read and reported. Wayland objects live on the
// connection's thread; the pipes are read and written on a queue of their own, so a slow
// client never stalls input or pictures. Callable from any thread.
class WlrootsClipboard {
 public:
  // Nothing when the compositor offers no data control or has no seat.
  static std::unique_ptr<WlrootsClipboard> make(std::shared_ptr<WlrootsConnection> connection);
  ~WlrootsClipboard();
  WlrootsClipboard(const WlrootsClipboard&) = delete;
  WlrootsClipboard& operator=(const WlrootsClipboard&) = delete;

  bool set(const std::string& utf8);
  void watch(EventPoster::ClipboardWatcher watcher, std::size_t limit);

  struct Listeners;

 private:
  explicit WlrootsClipboard(std::shared_ptr<WlrootsConnection> connection);
  // On the connection's thread.
  void selection(zwlr_data_control_offer_v1* offer);
  void dropOffersBut(zwlr_data_control_offer_v1* kept);
  void release();

  const std::shared_ptr<WlrootsConnection> connection_;
  const SerialQueue pipes_{"tavelin.wayland.clipboard"};
  // On the connection's thread.
  zwlr_data_control_device_v1* device_ = nullptr;
  std::map<zwlr_data_control_source_v1*, std::string> sources_;  // ours, with their text
  zwlr_data_control_source_v1* newest_ = nullptr;                // ours, while it is the selection
  std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers_;  // with their types

  std::mutex lock_;
  EventPoster::ClipboardWatcher watcher_;  // guarded by lock_
  std::size_t limit_ = 0;                  // guarded by lock_
};

}  // namespace tavelin::wayland
