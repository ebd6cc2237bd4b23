#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"

namespace tavelin::wayland {

class MutterRemoteDesktop;
class SessionBus;
class WaylandKeymap;

// Text into a GNOME desktop. Mutter types keysyms of the current layout only and drops the
// others without a word, so characters the layout has are typed as keys and runs of the others
// are pasted: the text goes on the clipboard of the remote desktop session, a paste chord
// (Shift+Insert, which text fields and terminals alike take) asks the focused application for
// it, and the user's own clipboard text is put back afterwards.
// One stretch of text as it is delivered: keysyms pressed one by one, or characters pasted.
struct TextRun {
  bool pasted = false;
  std::vector<std::uint32_t> keysyms;  // when typed
  std::u32string characters;           // when pasted
  friend bool operator==(const TextRun&, const TextRun&) = default;
};

// How text goes in: characters whose keysym the layout types (and Return, Tab, BackSpace) as
// keys, the stretches between them as pastes; control characters and broken units not at all.
std::vector<TextRun> planText(const std::u32string& characters,
                              const std::function<bool(std::uint32_t keysym)>& layoutTypes);

class TextDelivery {
 public:
  // Chord keysyms.
  static constexpr std::uint32_t shift = 0xffe1, insert = 0xff63;

  TextDelivery(std::shared_ptr<SessionBus> bus, std::string session, MutterRemoteDesktop& keys);
  ~TextDelivery();

  // Types the characters; how many of them reached no application (nobody took their paste).
  std::size_t type(const std::u32string& characters);

  // Makes the text the desktop's clipboard, the session's until another application takes it;
  // pastes of typed text put it back afterwards.
  bool setClipboard(const std::string& utf8);
  // From now on `watcher` hears, on the clipboard queue, of the text each other application
  // puts on the clipboard (nothing: longer than `limit` bytes).
  using Watcher = std::function<void(std::optional<std::string>)>;
  bool watch(Watcher watcher, std::size_t limit);

 private:
  bool paste(const std::string& text);
  bool setSelection(const std::vector<std::string>& mimeTypes);
  // What the clipboard holds now, to put back after a paste.
  std::optional<std::string> savedClipboard();
  // The owner's text, in its best type; nothing when it has none or did not give it. `tooLong`
  // says it went past `limit` bytes.
  std::optional<std::string> readOwnersText(std::size_t limit, bool& tooLong);
  void serve(std::uint32_t serial, const std::string& mimeType);  // on clipboard_
  void report();                                                  // on clipboard_

  const std::shared_ptr<SessionBus> bus_;
  const std::string session_;
  MutterRemoteDesktop& keys_;
  std::mutex typing_;                      // one text at a time, whoever sends it
  std::unique_ptr<WaylandKeymap> keymap_;  // guarded by typing_
  const SerialQueue clipboard_{"tavelin.wayland.clipboard"};  // answers the transfers
  std::mutex lock_;
  std::condition_variable served_;
  bool enabled_ = false;
  std::string offered_;                  // guarded by lock_: what transfers are answered with
  std::uint64_t servedCount_ = 0;        // guarded by lock_
  std::vector<std::string> ownerTypes_;  // guarded by lock_: the clipboard owner's types
  bool ownedBySession_ = false;          // guarded by lock_
  Watcher watcher_;                      // guarded by lock_
  std::size_t watchLimit_ = 0;           // guarded by lock_
  std::shared_ptr<void> transferSignal_, ownerSignal_;
};

}  // namespace tavelin::wayland
