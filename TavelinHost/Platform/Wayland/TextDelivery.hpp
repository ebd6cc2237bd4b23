#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavelin::wayland {

class MutterRemoteDesktop;
class SessionBus;
class SessionClipboard;
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

  // The session's clipboard: the phone's text goes there, and other applications' comes from it.
  SessionClipboard& clipboard() { return *clipboard_; }

 private:
  MutterRemoteDesktop& keys_;
  std::mutex typing_;                      // one text at a time, whoever sends it
  std::unique_ptr<WaylandKeymap> keymap_;  // guarded by typing_
  const std::unique_ptr<SessionClipboard> clipboard_;
};

}  // namespace tavelin::wayland
