#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

#include "TavelinHost/Platform/Wayland/NodeFrame.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireNode.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {

// One connection to a PipeWire video node: a PipeWire thread loop of its own with a stream
// linked to the node, reading raw four-byte pixels from shared memory, with the crop, damage
// and cursor the node attaches to its buffers. Each buffer is handed to `frame` on the loop
// thread and returned to the node right after, unless `frame` asks to see it again later:
// then it is held until that time or until a newer buffer replaces it (the newer one then
// counts as changed if the held one was). Without `frame` every buffer goes back unread: the
// connection is there only to keep the node streaming. Made and destroyed on any thread but the
// loop's.
class PipeWireConsumer {
 public:
  using Clock = std::chrono::steady_clock;
  struct Handlers {
    // Nothing: done with this buffer. A time: offer it again then (too early for now).
    std::function<std::optional<Clock::time_point>(const NodeFrame&)> frame;
    // The node went away or the connection broke after streaming began; called once, on the
    // loop thread, never during the destructor.
    std::function<void(std::error_code)> ended;
    HostLogSink log;
    // The one picture size to ask for: a node whose size is up to its consumer (Mutter's virtual
    // monitor) takes it. Any size the node sends when empty.
    std::optional<PixelSize> size;
  };

  // Connects to the node's daemon (through `node.fd` when there is one, which this takes over
  // and closes) and waits until the node streams to us. Nothing, with the reason in `error`,
  // when it does not within a few seconds.
  static std::unique_ptr<PipeWireConsumer> connect(const PipeWireNode& node, Handlers handlers,
                                                   std::error_code& error);
  ~PipeWireConsumer();
  PipeWireConsumer(const PipeWireConsumer&) = delete;
  PipeWireConsumer& operator=(const PipeWireConsumer&) = delete;

  struct State;

 private:
  explicit PipeWireConsumer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tavelin::wayland
