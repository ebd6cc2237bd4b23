#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <system_error>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"

namespace tavelin::wayland {

// A PipeWire node that carries a desktop's pictures, and the daemon it lives on: the session's
// own daemon, or the one behind `fd` (which a portal hands out; owned by whoever holds this).
struct PipeWireNode {
  std::uint32_t nodeID = 0;
  int fd = -1;  // -1: the session's PipeWire daemon
};

// The desktop's side of one picture stream (a D-Bus conversation with the compositor or a
// portal): opened when the stream starts and closed when it stops. Both block; they run on the
// stream's own thread, never on an engine queue.
class StreamProvider {
 public:
  virtual ~StreamProvider() = default;
  // A node showing what `filter` asks for; nothing, with the reason in `error`, when the desktop
  // refuses or has no such thing.
  virtual std::optional<PipeWireNode> open(const ContentFilter& filter, std::error_code& error) = 0;
  // Ends what open made; safe to call when nothing is open.
  virtual void close() = 0;
  // What the node's pictures measure in pixels, each time that changes (a window's stream
  // follows its window's size). On PipeWire's loop thread.
  virtual void contentSized(int /*width*/, int /*height*/) {}
  // Set by the stream: the desktop ended the node on its own (its window closed, the session
  // ended). May be called on any thread.
  std::function<void(std::error_code)> onClosed;
};

}  // namespace tavelin::wayland
