#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireNode.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Dispatch/WorkerThread.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {

class FrameAssembler;
class PipeWireConsumer;

// A capture stream of pictures from a PipeWire node. Starting asks the desktop for the node
// (the provider's open) and links a PipeWire stream to it; stopping disconnects and closes
// the provider again. Start, stop and filter changes run in order on a worker thread of the
// stream's own, which may block on the desktop, and complete there; pictures are read on
// PipeWire's loop thread while the stream runs. A node that ends on its own (its window
// closed, the desktop ended the session) is reported once through onStoppedWithError, on the
// worker thread. The stream takes over the descriptor of each node the provider hands out.
class PipeWireStream final : public CaptureStream,
                             public std::enable_shared_from_this<PipeWireStream> {
 public:
  PipeWireStream(std::shared_ptr<StreamProvider> provider, ContentFilter filter,
                 StreamConfiguration configuration, HostLogSink log = {});
  ~PipeWireStream() override;
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  void addOutput(SerialQueue queue, std::function<void(const CaptureSample&)> output) override;
  void start(CaptureCompletion done) override;
  void stop(CaptureCompletion done) override;
  // Crop, frame interval, pointer and queue depth count from the next buffer on.
  void updateConfiguration(const StreamConfiguration& configuration,
                           CaptureCompletion done) override;
  // Other content (another window or display) opens the node anew through the provider.
  void updateFilter(const ContentFilter& filter, CaptureCompletion done) override;
  // The desktop sends pictures as its content changes; a phone without one gets the last again.
  void pictureWanted(bool refresh) override;

 private:
  // All on the worker thread.
  std::error_code begin();
  void end();
  void ended(std::uint64_t session, std::error_code error);
  void onWorker(std::function<void(PipeWireStream&)> work);
  // Hands an event of another thread to the worker, if the stream is still there by then.
  static void relay(const SerialQueue& relay, std::weak_ptr<PipeWireStream> stream,
                    std::uint64_t session, std::error_code error);

  const std::shared_ptr<StreamProvider> provider_;
  const HostLogSink log_;
  const std::shared_ptr<FrameAssembler> assembler_;
  // Events of PipeWire and of the provider come through here on their way to the worker: a
  // thread of theirs must never be the one that lets go of the stream last.
  const SerialQueue relay_{"tavelin.capture.pipewire"};

  // Touched only on the worker thread.
  ContentFilter filter_;
  std::unique_ptr<PipeWireConsumer> consumer_;
  bool opened_ = false;   // the provider's open succeeded and close is due
  bool running_ = false;  // started and not ended or stopped since
  bool watchingProvider_ = false;
  std::uint64_t session_ = 0;  // counts the opens
  // The session open now, for the provider's onClosed to name on whatever thread it runs.
  const std::shared_ptr<std::atomic<std::uint64_t>> openSession_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);

  // Last: destroyed first, so that no work runs while the rest goes.
  WorkerThread worker_{"tavelin.capture.pipewire"};
};

}  // namespace tavelin::wayland
