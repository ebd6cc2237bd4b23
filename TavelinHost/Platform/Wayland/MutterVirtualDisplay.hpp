#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Platform/VirtualDisplayPlatform.hpp"
#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {

class SessionBus;

// The monitor Mutter added for a virtual display of `width` × `height` pixels: one of `now`
// whose connector is not among `before`, of that size. Nothing until it is there.
std::optional<MutterMonitor> addedMonitor(const std::vector<std::string>& before,
                                          const std::vector<MutterMonitor>& now,
                                          std::uint32_t width, std::uint32_t height);

// Virtual displays on GNOME: a screen cast session of Mutter's recording a virtual monitor.
// Mutter makes the monitor once a consumer streams from the session's node, of the size the
// consumer asks for, and removes it when the session stops; so each display keeps a PipeWire
// connection of its own open that asks for exactly the display's size and hands every buffer
// back unread. The monitor then is an ordinary one of Mutter's: listed among the displays,
// captured and driven as any other. Creation blocks the calling thread on D-Bus and PipeWire,
// each wait bounded; a display that cannot be made says why in the log.
class MutterVirtualDisplays final : public VirtualDisplayPlatform {
 public:
  MutterVirtualDisplays(std::shared_ptr<SessionBus> bus, std::shared_ptr<MutterDisplays> displays,
                        HostLogSink log)
      : bus_(std::move(bus)), displays_(std::move(displays)), log_(std::move(log)) {}

  // Whether Mutter's screen cast sessions have RecordVirtual; asked once.
  bool isSupported() override;
  std::unique_ptr<VirtualDisplayBacking> create(const VirtualDisplayRequest& request) override;

 private:
  const std::shared_ptr<SessionBus> bus_;
  const std::shared_ptr<MutterDisplays> displays_;
  const HostLogSink log_;
  std::mutex lock_;
  std::optional<bool> supported_;  // guarded by lock_
};

}  // namespace tavelin::wayland
