#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/PortalEnums.hpp"

namespace tavelin {

using WindowID = std::uint32_t;

// Where a captured window is, and how big the picture captured from it is.
struct WindowGeometry {
  ScreenRect captureBounds;
  PixelSize surfaceSize;

  bool isValid() const {
    return captureBounds.width > 0 && captureBounds.height > 0 && surfaceSize.width >= 1 &&
           surfaceSize.height >= 1;
  }
  friend bool operator==(const WindowGeometry&, const WindowGeometry&) = default;
};

// The live geometry of one window; nothing while the window cannot be seen.
class WindowGeometryProviding {
 public:
  virtual ~WindowGeometryProviding() = default;
  virtual std::optional<WindowGeometry> currentGeometry() const = 0;
};

// Geometry from stored values, for fixed geometry and for exercising mappers without a window
// system. Not synchronised: whoever changes it while another thread maps orders that.
class StaticWindowGeometryProvider final : public WindowGeometryProviding {
 public:
  StaticWindowGeometryProvider(WindowGeometry geometry, bool available)
      : geometry_(geometry), available_(available) {}
  // The surface is the bounds times `scale`, rounded.
  StaticWindowGeometryProvider(const ScreenRect& bounds, double scale);

  void set(const WindowGeometry& geometry, bool available) {
    geometry_ = geometry;
    available_ = available;
  }
  void setAvailable(bool available) { available_ = available; }

  std::optional<WindowGeometry> currentGeometry() const override;

 private:
  WindowGeometry geometry_;
  bool available_;
};

// Turns a phone's normalised touch into the screen point to act on. Every mapper refuses
// points outside the unit square (NaN included): a touch off the picture never becomes input.
// Immutable after construction; callable from any thread its provider allows.
class PortalCoordinateMapper {
 public:
  virtual ~PortalCoordinateMapper() = default;
  virtual std::optional<ScreenPoint> mapToScreen(const NormalizedPoint& point) const = 0;
  // The window input belongs to, or nothing when the portal is not a window.
  virtual std::optional<WindowID> targetWindowID() const = 0;
};

class ScreenRegionCoordinateMapper final : public PortalCoordinateMapper {
 public:
  explicit ScreenRegionCoordinateMapper(const ScreenRect& region) : region_(region) {}

  std::optional<ScreenPoint> mapToScreen(const NormalizedPoint& point) const override;
  std::optional<WindowID> targetWindowID() const override { return std::nullopt; }
  const ScreenRect& region() const { return region_; }

 private:
  ScreenRect region_;
};

using WindowIDAccessor = std::function<std::optional<WindowID>()>;

class WindowCoordinateMapper final : public PortalCoordinateMapper {
 public:
  WindowCoordinateMapper(std::shared_ptr<const WindowGeometryProviding> geometryProvider,
                         WindowIDAccessor windowID)
      : geometryProvider_(std::move(geometryProvider)), windowIDAccessor_(std::move(windowID)) {}

  std::optional<ScreenPoint> mapToScreen(const NormalizedPoint& point) const override;
  // In pixels of the captured surface.
  std::optional<ScreenPoint> mapToWindowLocal(const NormalizedPoint& point) const;
  std::optional<WindowID> targetWindowID() const override { return windowIDAccessor_(); }

 private:
  std::shared_ptr<const WindowGeometryProviding> geometryProvider_;
  WindowIDAccessor windowIDAccessor_;
};

class WindowRegionCoordinateMapper final : public PortalCoordinateMapper {
 public:
  WindowRegionCoordinateMapper(std::shared_ptr<const WindowGeometryProviding> geometryProvider,
                               const NormalizedRect& region, const PixelRect& originalPixelRegion,
                               RegionResizeBehavior resizeBehavior, WindowIDAccessor windowID)
      : geometryProvider_(std::move(geometryProvider)),
        windowIDAccessor_(std::move(windowID)),
        storedRegion_(region),
        originalPixelRegion_(originalPixelRegion),
        resizeBehavior_(resizeBehavior) {}

  std::optional<ScreenPoint> mapToScreen(const NormalizedPoint& point) const override;
  std::optional<ScreenPoint> mapToWindowLocal(const NormalizedPoint& point) const;
  // The part of a surface of this size that the portal shows; the capture source crops with
  // it, so what the phone sees and where its touches land agree.
  PixelRect resolveCropRect(const PixelSize& surfaceSize) const;
  std::optional<WindowID> targetWindowID() const override { return windowIDAccessor_(); }

 private:
  // The touched point as a fraction of the whole window, with the geometry it was read from.
  struct WindowPoint {
    NormalizedPoint point;
    WindowGeometry geometry;
  };
  std::optional<WindowPoint> windowPoint(const NormalizedPoint& point) const;

  std::shared_ptr<const WindowGeometryProviding> geometryProvider_;
  WindowIDAccessor windowIDAccessor_;
  NormalizedRect storedRegion_;
  PixelRect originalPixelRegion_;
  RegionResizeBehavior resizeBehavior_;
};

}  // namespace tavelin
