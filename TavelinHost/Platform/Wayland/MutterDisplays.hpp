#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TavelinHost/Platform/WindowServer.hpp"

namespace tavelin::wayland {

class SessionBus;

// A monitor as Mutter arranges it: its connector ("Meta-0", "eDP-1"), which Mutter's streams
// are asked for by, and where it lies on the desktop.
struct MutterMonitor {
  std::string connector;
  DisplayDescription display;
};

// Mutter's monitor layout from org.gnome.Mutter.DisplayConfig, read afresh on every call.
class MutterDisplays {
 public:
  explicit MutterDisplays(std::shared_ptr<SessionBus> bus) : bus_(std::move(bus)) {}
  // The primary monitor first; empty when Mutter does not answer.
  std::vector<MutterMonitor> monitors();
  // The display id of a connector: stable across runs, so stored portals keep their display.
  static std::uint32_t displayID(const std::string& connector);
  // Calls `changed` on the bus thread whenever Mutter's monitors change, for as long as the
  // handle lives; `changed` must not call the bus. Nothing when Mutter cannot be listened to.
  std::shared_ptr<void> watch(std::function<void()> changed);

 private:
  std::shared_ptr<SessionBus> bus_;
};

}  // namespace tavelin::wayland
