#include "TavelinHost/App/PortalTargets.hpp"

#include <string>

#include "TavelinHost/App/DesktopModel.hpp"
#include "TavelinHost/App/PortalSharing.hpp"
#include "TavelinHost/Capture/WindowDiscovery.hpp"

namespace tavelin {

namespace {

std::string sizeText(double width, double height) {
  return std::to_string(static_cast<long long>(width)) + "\u00D7" +
         std::to_string(static_cast<long long>(height));
}

WindowTarget targetOf(const WindowInfo& window) {
  return {
      window.bundleIdentifier, window.applicationName, window.title, window.processID, window.id,
      window.frame.width,      window.frame.height};
}

}  // namespace

void PortalTargets::chooseScreenRegion(const std::optional<ScreenRect>& rect,
                                       const std::optional<Portal>& retarget) {
  if (!rect || !(rect->width > 0) || !(rect->height > 0)) return;
  const auto display = DisplayManager::displayContaining(desktop_.displays(), *rect);
  const std::uint32_t displayID = display ? display->id : 0;
  if (retarget) {
    if (const auto* old = std::get_if<ScreenRegionPortalData>(&retarget->payload.value)) {
      Portal changed = *retarget;
      changed.payload = ScreenRegionPortalData{*rect, displayID, old->showBorder};
      sharing_.update(changed);
      return;
    }
  }
  sharing_.add(Portal{Uuid::random(), "Screen region " + sizeText(rect->width, rect->height),
                      clock_(), ScreenRegionPortalData{*rect, displayID, true}});
}

void PortalTargets::chooseWholeScreen(const ScreenRect& bounds) {
  sharing_.add(
      Portal{Uuid::random(), "Screen", clock_(), ScreenRegionPortalData{bounds, 0, false}});
}

void PortalTargets::chooseWindow(const WindowInfo& window, const std::optional<Portal>& retarget) {
  const WindowTarget target = targetOf(window);
  if (!retarget) {
    sharing_.add(Portal{Uuid::random(), window.applicationName, clock_(),
                        WindowPortalData{target, WindowCaptureMode::fullWindow}});
    return;
  }
  Portal changed = *retarget;
  if (auto* whole = std::get_if<WindowPortalData>(&changed.payload.value)) {
    whole->target = target;
  } else if (auto* part = std::get_if<WindowRegionPortalData>(&changed.payload.value)) {
    part->target = target;
  } else {
    return;  // a screen region has no window to change
  }
  sharing_.update(changed);
}

void PortalTargets::chooseWindowRegion(const WindowInfo& window, const NormalizedRect& region,
                                       const PixelRect& pixels,
                                       const std::optional<Portal>& retarget) {
  const WindowRegionPortalData payload(targetOf(window), region, pixels,
                                       RegionResizeBehavior::scaleWithWindow);
  if (retarget) {
    Portal changed = *retarget;
    changed.payload = payload;
    sharing_.update(changed);
    return;
  }
  sharing_.add(Portal{Uuid::random(), window.applicationName + " region", clock_(), payload});
}

void PortalTargets::chooseVirtualScreenRegion(const ScreenRect& rect) {
  const auto display = desktop_.virtualDisplayID();
  if (!display || !(rect.width > 0) || !(rect.height > 0)) return;
  const std::string size = sizeText(rect.width, rect.height);
  sharing_.add(Portal{Uuid::random(), "Virtual region " + size, clock_(),
                      ScreenRegionPortalData{rect, *display, true}});
  log_("Portals", "Created portal from the virtual display (" + size + ")");
}

}  // namespace tavelin
