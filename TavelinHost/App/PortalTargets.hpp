#pragma once

#include <optional>

#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/WindowInfo.hpp"

namespace tavelin {

class DesktopModel;
class PortalSharing;

// What a choice on the desktop makes of a portal: a new one (stored and made active), or, when
// the choice retargets an existing portal, that portal pointed at the new target.
class PortalTargets {
 public:
  PortalTargets(PortalSharing& sharing, const DesktopModel& desktop, Clock clock, HostLogSink log)
      : sharing_(sharing), desktop_(desktop), clock_(std::move(clock)), log_(std::move(log)) {}

  // A screen region (of at least a point a side) on the display it lies on most.
  void chooseScreenRegion(const std::optional<ScreenRect>& rect,
                          const std::optional<Portal>& retarget);
  void chooseWindow(const WindowInfo& window, const std::optional<Portal>& retarget);
  // `region` in fractions of the window, `pixels` the same in the window's pixels now.
  void chooseWindowRegion(const WindowInfo& window, const NormalizedRect& region,
                          const PixelRect& pixels, const std::optional<Portal>& retarget);
  // The whole of a display, as "Screen", without a border.
  void chooseWholeScreen(const ScreenRect& bounds);
  // A region of the virtual display, while there is one.
  void chooseVirtualScreenRegion(const ScreenRect& rect);

 private:
  PortalSharing& sharing_;
  const DesktopModel& desktop_;
  const Clock clock_;
  const HostLogSink log_;
};

}  // namespace tavelin
