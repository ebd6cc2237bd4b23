#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/PictureDemand.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/PortalCoordinateMapper.hpp"
#include "TavelinKit/Model/PortalEnums.hpp"

namespace tavelin {

// Something that turns one portal's target into JPEG frames and says how that is going. The
// portal's runtime owns one, sets the callbacks and the gate before start(), and must expect
// them to be called on background queues.
class PortalCaptureSource {
 public:
  virtual ~PortalCaptureSource() = default;

  virtual PortalCaptureState state() const = 0;
  // The size of the frames being produced now; empty before the first one.
  virtual PixelSize sourceSize() const = 0;
  // Where the captured window is on screen; nothing for screen regions.
  virtual std::shared_ptr<const WindowGeometryProviding> geometryProvider() const = 0;
  // The window captured now; nothing for screen regions or while no window is known.
  virtual std::optional<WindowID> targetWindowID() const = 0;
  // How log lines name this source.
  virtual std::string descriptionText() const = 0;

  // Asynchronous and idempotent: they return at once.
  virtual void start() = 0;
  virtual void stop() = 0;

  std::function<void(const CapturedFrame&)> onFrame;
  std::function<void(PortalCaptureState)> onStateChange;
  std::function<void(const PixelSize&)> onSourceSizeChange;
  // Asked before any work on a picture; while it says no, pictures are dropped at no cost.
  std::function<bool()> frameGate;
  // From when a phone wants the next picture. Sources that can keep a change until then ask
  // it before each picture and look again at `pictureWanted`; with `refresh` a phone has no
  // picture yet, so one is made without a change. Set before start.
  std::function<PictureDue()> pictureDemand;
  // The views the phones show (nothing: the whole portal); sources that can make pictures of
  // parts make one for each, and only those. Unset: the whole portal alone. Set before start.
  std::function<std::vector<std::optional<PortalView>>()> pictureViews;
  // What to make a picture of now: the views asked for, or the whole portal when none is set.
  std::vector<std::optional<PortalView>> wantedViews() const {
    return pictureViews ? pictureViews() : std::vector<std::optional<PortalView>>{std::nullopt};
  }
  // The JPEG quality the phones chose for this portal, asked before each picture; nothing (or
  // unset): the quality of the source's own settings. Set before start.
  std::function<std::optional<double>()> pictureQuality;
  double wantedQuality(double setting) const {
    const auto chosen = pictureQuality ? pictureQuality() : std::nullopt;
    return chosen.value_or(setting);
  }
  virtual void pictureWanted(bool refresh) { (void)refresh; }
};

// What a portal runs on: the source of its pictures and the mapping of touches on them.
struct PortalSource {
  std::shared_ptr<PortalCaptureSource> source;
  std::shared_ptr<PortalCoordinateMapper> mapper;
};

// Makes the source and mapper for a portal, each time a portal starts running.
class PortalSourceMaking {
 public:
  virtual ~PortalSourceMaking() = default;
  virtual PortalSource make(const Portal& portal) const = 0;
};

}  // namespace tavelin
