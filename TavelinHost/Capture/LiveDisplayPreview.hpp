#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin {

// A live picture of one display for the host's window: BGRX pixels at the requested rate and
// at most the requested size, delivered on the main executor. Always held by a shared_ptr.
class LiveDisplayPreview : public std::enable_shared_from_this<LiveDisplayPreview> {
 public:
  struct Image {
    PixelSize size;
    int stride = 0;
    std::shared_ptr<const std::vector<std::uint8_t>> pixels;
  };

  LiveDisplayPreview(std::shared_ptr<ScreenCaptureService> service,
                     std::shared_ptr<Executor> mainExecutor)
      : service_(std::move(service)), mainExecutor_(std::move(mainExecutor)) {}
  ~LiveDisplayPreview();

  // The picture size for a display of `points` at `scale`, under `maxDimension` (0: no limit).
  static PixelSize previewSize(double widthPoints, double heightPoints, double scale,
                               int maxDimension);

  void start(std::uint32_t displayID, int fps, int maxDimension);
  void stop();

  // Set before start; on the main executor.
  std::function<void(const Image&)> onFrame;

 private:
  void deliver(const CaptureSample& sample);  // frame queue

  const std::shared_ptr<ScreenCaptureService> service_;
  const std::shared_ptr<Executor> mainExecutor_;
  const SerialQueue frameQueue_{"tavelin.preview.frames"};
  std::atomic<bool> running_{false};
  std::mutex lock_;
  std::shared_ptr<CaptureStream> stream_;  // guarded by lock_
  PixelSize size_;                         // guarded by lock_
};

}  // namespace tavelin
