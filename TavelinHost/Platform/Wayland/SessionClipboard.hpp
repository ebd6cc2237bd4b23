#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"

struct sd_bus_message;

namespace tavelin::wayland {

class SessionBus;

// Where a remote desktop session's clipboard is spoken to. Mutter's session object and the
// desktop portal's Clipboard interface have the same methods and signals; the portal's take
// the session's handle first and spell their keys with underscores.
struct ClipboardPlace {
  std::string service;
  std::string path;
  std::string interface;
  std::string sessionHandle;  // the portal's session, first in every call and signal; else empty
  std::string typesKey;       // the owner's types in SelectionOwnerChanged and SetSelection
  std::string ownedKey;       // whether the session owns it, in SelectionOwnerChanged

  static ClipboardPlace mutter(const std::string& session);
  static ClipboardPlace portal(const std::string& session);
};

// The desktop's clipboard through a remote desktop session: the session owns it by naming its
// types and answers each transfer from a pipe, and reads what other applications put there.
// Transfers are answered on a queue of its own; callable from any thread.
class SessionClipboard {
 public:
  // Listens at once, so that the owner of the moment is heard when the desktop enables it.
  SessionClipboard(std::shared_ptr<SessionBus> bus, ClipboardPlace place);
  ~SessionClipboard();
  SessionClipboard(const SessionClipboard&) = delete;
  SessionClipboard& operator=(const SessionClipboard&) = delete;

  // Whether the desktop gave the session its clipboard; nothing works before.
  void enable(bool enabled);
  bool enabled() const;

  // Makes the text the desktop's clipboard, the session's until another application takes it.
  bool set(const std::string& utf8);
  // From now on `watcher` hears, on the clipboard queue, of the text each other application
  // puts on the clipboard (nothing: longer than `limit` bytes).
  using Watcher = std::function<void(std::optional<std::string>)>;
  bool watch(Watcher watcher, std::size_t limit);
  // Puts `text` on the clipboard for the focused application to take when `chord` asks it to
  // paste, then puts back what the clipboard held; whether the application took it.
  bool paste(const std::string& text, const std::function<bool()>& chord);

 private:
  bool offerText();
  // What the clipboard holds now, to put back after a paste.
  std::optional<std::string> saved();
  // The owner's text, in its best type; nothing when it has none or did not give it. `tooLong`
  // says it went past `limit` bytes.
  std::optional<std::string> readOwnersText(std::size_t limit, bool& tooLong);
  void serve(std::uint32_t serial, const std::string& mimeType);  // on queue_
  void report();                                                  // on queue_
  // The call's arguments after the portal's session handle, where there is one.
  bool call(const char* member, const std::function<int(sd_bus_message*)>& arguments,
            const std::function<int(sd_bus_message*)>& reader);
  // Whether a signal is this session's, reading past the portal's session handle.
  bool ours(sd_bus_message* m) const;

  const std::shared_ptr<SessionBus> bus_;
  const ClipboardPlace place_;
  const SerialQueue queue_{"tavelin.wayland.clipboard"};
  mutable std::mutex lock_;
  std::condition_variable served_;
  bool enabled_ = false;                 // guarded by lock_
  std::string offered_;                  // guarded by lock_: what transfers are answered with
  std::uint64_t servedCount_ = 0;        // guarded by lock_
  std::vector<std::string> ownerTypes_;  // guarded by lock_: the clipboard owner's types
  bool ownedBySession_ = false;          // guarded by lock_
  Watcher watcher_;                      // guarded by lock_
  std::size_t watchLimit_ = 0;           // guarded by lock_
  std::mutex pasting_;                   // a paste and its putting back are not interleaved
  std::shared_ptr<void> transferSignal_, ownerSignal_;
};

}  // namespace tavelin::wayland
