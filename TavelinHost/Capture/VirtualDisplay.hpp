#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/VirtualDisplay.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin {

// An extra display that exists only in software, for as long as this object lives.
class TavelinVirtualDisplay {
 public:
  static constexpr double millimetresPerPixel = 0.2588;  // about 98 pixels per inch

  // Nothing for sides below 2 pixels (without asking the platform), where the platform has no
  // virtual displays, or when it cannot make one. An empty name means "Tavelin".
  static std::unique_ptr<TavelinVirtualDisplay> create(VirtualDisplayPlatform& platform,
                                                       std::uint32_t width, std::uint32_t height,
                                                       const std::string& name);

  // What the platform is asked for, for those arguments.
  static VirtualDisplayRequest request(std::uint32_t width, std::uint32_t height,
                                       const std::string& name);

  const std::uint32_t displayID;
  const std::uint32_t widthPixels;
  const std::uint32_t heightPixels;

  TavelinVirtualDisplay(std::unique_ptr<VirtualDisplayBacking> backing, std::uint32_t width,
                        std::uint32_t height)
      : displayID(backing->displayID()),
        widthPixels(width),
        heightPixels(height),
        backing_(std::move(backing)) {}

 private:
  std::unique_ptr<VirtualDisplayBacking> backing_;
};

// Holds the application's virtual display; setting it to nothing removes the display.
struct VirtualDisplayManager {
  std::unique_ptr<TavelinVirtualDisplay> display;
};

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
