#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "TavelinHost/Capture/FrameEncoder.hpp"
#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Model/PictureSettings.hpp"
#include "TavelinKit/Model/PortalCaptureSource.hpp"

namespace tavelin {

// Where a source does its work: start, stop, the watchdog and stream hand-overs on `control`,
// pictures on `frames`. Each source gets queues of its own unless a test hands it others.
struct CaptureQueues {
  std::shared_ptr<TimerQueue> control;
  std::optional<SerialQueue> frames;
  Clock now = systemClock();  // frame timestamps
};

// The engine behind every capture source: it starts a stream on the capture service for what
// the concrete kind describes, keeps it running while the target is healthy (a watchdog looks
// every half second), re-configures it when the target changes size or display, and turns each
// picture into a cropped, down-scaled JPEG. Always held by a shared_ptr (queued work holds the
// source weakly and does nothing once it is gone).
class CaptureSource : public PortalCaptureSource,
                      public std::enable_shared_from_this<CaptureSource> {
 public:
  static constexpr std::chrono::milliseconds watchdogInterval{500};

  CaptureSource(std::shared_ptr<ScreenCaptureService> service, HostLogSink log,
                PictureSettings settings, CaptureQueues queues = {});
  ~CaptureSource() override;
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;

  PortalCaptureState state() const override;
  PixelSize sourceSize() const override;
  std::shared_ptr<const WindowGeometryProviding> geometryProvider() const override {
    return nullptr;
  }
  std::optional<WindowID> targetWindowID() const override { return std::nullopt; }
  std::string descriptionText() const override { return "capture source"; }

  void start() override;
  void stop() override;
  void pictureWanted(bool refresh) override;

 protected:
  struct CaptureSetup {
    ContentFilter filter;
    StreamConfiguration configuration;
  };
  using SetupCompletion = std::function<void(std::optional<CaptureSetup>)>;

  // What the kinds describe. All but cropRect run on the control queue; `done` may be called
  // on any thread. cropRect runs on the frame queue.
  virtual void makeCaptureSetup(SetupCompletion done) { done(std::nullopt); }
  virtual PixelRect cropRect(const PixelSize& contentSize) {
    return {0, 0, contentSize.width, contentSize.height};
  }
  virtual PortalCaptureState checkTargetHealth() { return PortalCaptureState::capturing; }
  // Whether the target changed so that the stream needs new settings; asking clears it.
  virtual bool needsRestart() { return false; }

  // The stream settings every kind shares, for content of width × height points at `scale`
  // pixels a point.
  StreamConfiguration baseConfiguration(double width, double height, double scale) const;

  ScreenCaptureService& service() const { return *service_; }
  void log(std::string message) const;

 private:
  void publish(PortalCaptureState next);
  void updateSourceSize(const PixelSize& next);
  void launchStart();  // control queue
  void continueStart(std::optional<CaptureSetup> setup);
  void adopt(const std::shared_ptr<CaptureStream>& started, const StreamConfiguration& config,
             std::error_code error);
  void reconfigure();
  void tearDown();
  void watchdogTick();
  void streamStopped(const std::shared_ptr<CaptureStream>& stopped, std::error_code error);
  void deliver(const CaptureSample& sample);  // frame queue
  void onControl(std::function<void(CaptureSource&)> work);

  const std::shared_ptr<ScreenCaptureService> service_;
  const HostLogSink log_;
  const PictureSettings settings_;
  const std::shared_ptr<TimerQueue> controlQueue_;
  const SerialQueue frameQueue_;
  const Clock now_;

  // The control queue's own.
  std::shared_ptr<CaptureStream> stream_;
  RepeatingTimer watchdog_;
  bool startInFlight_ = false;
  std::atomic<bool> running_{false};  // written on the control queue, read by the frame queue

  mutable std::mutex stateLock_;
  PortalCaptureState currentState_ = PortalCaptureState::idle;  // guarded by stateLock_
  PixelSize currentSourceSize_;                                 // guarded by stateLock_

  FrameEncoder encoder_;  // the frame queue's own
};

}  // namespace tavelin
