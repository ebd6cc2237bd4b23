#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/Wayland/NodeFrame.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {

// Turns a node's buffers into the engine's samples: at most one a frame interval; the node's
// crop, then the configuration's source rectangle, copied out as BGRA into a small pool of
// picture memory the samples hold; the pointer drawn in when asked for; a buffer that changed
// nothing (no damage, the pointer where it was) gives an idle sample without a picture. The
// output gets them on its queue, with no more than the queue depth waiting; more are dropped.
// Buffers are offered on the PipeWire loop thread; the configuration, the filter and the
// output may change from any thread and count from the next buffer on.
class FrameAssembler : public std::enable_shared_from_this<FrameAssembler> {
 public:
  using Clock = std::chrono::steady_clock;

  FrameAssembler(StreamConfiguration configuration, const ContentFilter& filter,
                 HostLogSink log = {});

  void setOutput(SerialQueue queue, std::function<void(const CaptureSample&)> output);
  // The next buffer is shown even if it changed nothing, so that the change shows at once.
  void setConfiguration(const StreamConfiguration& configuration);
  void setFilter(const ContentFilter& filter);
  // A new connection: turns, pointer and problems start afresh, and its first buffer is shown.
  void restart();
  // Told on the loop thread each time the content's size changes. Set before buffers come.
  void observeContentSize(std::function<void(int width, int height)> observer) {
    contentSized_ = std::move(observer);
  }

  // The last picture again, for a phone that has none of this stream yet (a new phone, a part
  // of the picture it asks for), which on a still screen would otherwise wait for a change.
  // False while there is none of the current connection and configuration.
  bool repeat();

  // Loop thread. Nothing when done with the buffer; a time when it changed something but came
  // before its turn: it wants to be offered again then (or be replaced by a newer one).
  std::optional<Clock::time_point> offer(const NodeFrame& frame, Clock::time_point now);

  class Pool;

 private:
  struct Settings {
    StreamConfiguration configuration;
    double pointPixelScale = 0;
    double contentWidth = 0;  // points
    std::optional<SerialQueue> queue;
    std::function<void(const CaptureSample&)> output;
  };
  std::optional<CaptureSample> picture(const NodeFrame& frame, const Settings& settings);
  void deliver(const Settings& settings, CaptureSample sample);
  void problem(const std::string& message);

  const HostLogSink log_;
  const std::shared_ptr<Pool> pool_;

  std::mutex lock_;
  Settings settings_;          // guarded by lock_
  bool restarted_ = true;      // guarded by lock_
  bool reconfigured_ = false;  // guarded by lock_
  // The last picture, holding one of the pool's buffers; guarded by lock_.
  std::optional<CaptureSample> shown_;

  // Loop thread only.
  struct Pointer {
    int x, y;
    std::uint64_t serial;
    friend bool operator==(const Pointer&, const Pointer&) = default;
  };
  bool fresh_ = true;  // nothing shown since the connection or the configuration changed
  std::function<void(int, int)> contentSized_;
  PixelRect contentSeen_;
  Clock::time_point nextTurn_{};
  std::optional<Pointer> shownPointer_;
  std::set<std::string> logged_;

  std::atomic<int> waiting_{0};
};

}  // namespace tavelin::wayland
