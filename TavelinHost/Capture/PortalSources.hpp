#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "TavelinHost/Capture/CaptureSource.hpp"
#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinKit/Model/Portal.hpp"

// The three kinds of capture source (a screen region, a window, a region of a window) and the
// factory that makes the right one, with its touch mapper, for a portal.
namespace tavelin {

// A window's live geometry for the touch mappers: where its captured area is on screen, and
// the size of the pictures taken of it (the area's own size before the first picture).
class LiveWindowGeometryProvider final : public WindowGeometryProviding {
 public:
  LiveWindowGeometryProvider(std::shared_ptr<WindowServer> windows,
                             std::function<std::optional<WindowID>()> windowID,
                             std::function<PixelSize()> surfaceSize)
      : windows_(std::move(windows)),
        windowID_(std::move(windowID)),
        surfaceSize_(std::move(surfaceSize)) {}

  std::optional<WindowGeometry> currentGeometry() const override;

 private:
  const std::shared_ptr<WindowServer> windows_;
  const std::function<std::optional<WindowID>()> windowID_;
  const std::function<PixelSize()> surfaceSize_;
};

// The part of the desktop inside `region`, on the display the region lies on most.
class DisplayRegionCaptureSource final : public CaptureSource {
 public:
  DisplayRegionCaptureSource(std::shared_ptr<ScreenCaptureService> service,
                             std::shared_ptr<WindowServer> windows, HostLogSink log,
                             PictureSettings settings, const ScreenRect& region,
                             CaptureQueues queues = {});

  std::string descriptionText() const override;

 protected:
  void makeCaptureSetup(SetupCompletion done) override;
  PortalCaptureState checkTargetHealth() override;
  bool needsRestart() override;

 private:
  const std::shared_ptr<WindowServer> windows_;
  const ScreenRect region_;
  std::mutex lock_;  // the set-up's answer may come on another thread
  std::uint32_t displayID_ = 0;
  ScreenRect displayBounds_;
  bool restartNeeded_ = false;
};

// One application window, followed while it moves, is covered, resizes, or is closed and
// opened again.
class WindowCaptureSource : public CaptureSource {
 public:
  WindowCaptureSource(std::shared_ptr<ScreenCaptureService> service,
                      std::shared_ptr<WindowServer> windows,
                      std::shared_ptr<WindowResolver> resolver, HostLogSink log,
                      PictureSettings settings, WindowTarget target, CaptureQueues queues = {});

  std::shared_ptr<const WindowGeometryProviding> geometryProvider() const override;
  std::optional<WindowID> targetWindowID() const override;
  std::string descriptionText() const override;

 protected:
  void makeCaptureSetup(SetupCompletion done) override;
  PixelRect cropRect(const PixelSize& contentSize) override;
  PortalCaptureState checkTargetHealth() override;
  bool needsRestart() override;

  // Remembers the size of the latest picture of the window; the frame queue's step.
  void noteContentSize(const PixelSize& contentSize);

 private:
  std::optional<WindowID> resolveWindowID();
  void noteFrame(const std::optional<ScreenRect>& frame);
  PixelSize lastContentSize() const;

  const std::shared_ptr<WindowServer> windows_;
  const std::shared_ptr<WindowResolver> resolver_;
  const WindowTarget target_;

  mutable std::mutex stateSync_;  // never held while calling out
  WindowID currentWindowID_;
  ScreenRect configuredFrame_;
  bool restartNeeded_ = false;
  PixelSize lastContentSize_;
  mutable std::shared_ptr<LiveWindowGeometryProvider> geometry_;
};

// A part of one window, given as fractions of its content; the stream carries the whole window
// and every picture is cut here, through the same rule the touch mapper uses.
class WindowRegionCaptureSource final : public WindowCaptureSource {
 public:
  WindowRegionCaptureSource(std::shared_ptr<ScreenCaptureService> service,
                            std::shared_ptr<WindowServer> windows,
                            std::shared_ptr<WindowResolver> resolver, HostLogSink log,
                            PictureSettings settings, WindowTarget target,
                            const NormalizedRect& region, const PixelRect& originalPixelRegion,
                            RegionResizeBehavior resizeBehavior, CaptureQueues queues = {});

  std::string descriptionText() const override;

 protected:
  PixelRect cropRect(const PixelSize& contentSize) override;

 private:
  const NormalizedRect region_;
  const PixelRect originalPixelRegion_;
  const RegionResizeBehavior resizeBehavior_;
};

// Makes the source and the touch mapper for a portal; the settings are read once per source.
class PortalSourceFactory final : public PortalSourceMaking {
 public:
  PortalSourceFactory(std::shared_ptr<ScreenCaptureService> service,
                      std::shared_ptr<WindowServer> windows,
                      std::shared_ptr<WindowResolver> resolver, HostLogSink log,
                      std::function<PictureSettings()> settings,
                      std::function<CaptureQueues()> queues = {})
      : service_(std::move(service)),
        windows_(std::move(windows)),
        resolver_(std::move(resolver)),
        log_(std::move(log)),
        settings_(std::move(settings)),
        queues_(std::move(queues)) {}

  PortalSource make(const Portal& portal) const override;

 private:
  const std::shared_ptr<ScreenCaptureService> service_;
  const std::shared_ptr<WindowServer> windows_;
  const std::shared_ptr<WindowResolver> resolver_;
  const HostLogSink log_;
  const std::function<PictureSettings()> settings_;
  const std::function<CaptureQueues()> queues_;
};

}  // namespace tavelin
