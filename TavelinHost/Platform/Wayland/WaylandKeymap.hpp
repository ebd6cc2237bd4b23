#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace tavelin::wayland {

// The keyboard layout the compositor gives its clients, read as one of them: which keysyms a
// key of the current layout types (at any level). Compositors that type by keysym drop the
// others silently, so text is checked against this first. Thread-safe.
class WaylandKeymap {
 public:
  // Connects to WAYLAND_DISPLAY; nothing when there is no display or no keyboard on its seat.
  static std::unique_ptr<WaylandKeymap> connect();
  ~WaylandKeymap();

  // Takes in a layout switched since the last look (one roundtrip).
  void refresh();
  // Whether the current layout types `keysym`.
  bool types(std::uint32_t keysym);

 private:
  struct Client;
  explicit WaylandKeymap(std::unique_ptr<Client> client);
  std::mutex lock_;
  std::unique_ptr<Client> client_;  // guarded by lock_
};

// The keysyms that the keys of layout 0 of an xkb keymap (in its text form) type, at any level;
// empty when the text is no keymap.
std::unordered_set<std::uint32_t> keysymsOfKeymap(const char* text, std::size_t size);

}  // namespace tavelin::wayland
