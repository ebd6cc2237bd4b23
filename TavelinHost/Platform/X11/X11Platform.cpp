#include "TavelinHost/Platform/X11/X11Platform.hpp"

#include <cstdlib>

#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Connection.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11EventPoster.hpp"
#include "TavelinHost/Platform/X11/X11VirtualDisplay.hpp"

namespace tavelin::x11 {

std::optional<PlatformServices> openPlatform(const std::string& display, std::string& why) {
  const auto connection = Connection::open(display);
  const char* named = std::getenv("DISPLAY");
  const std::string shown = !display.empty() ? display : named ? named : "";
  if (!connection) {
    why = "cannot open the X display " +
          (shown.empty() ? std::string("(DISPLAY is not set)") : shown);
    return std::nullopt;
  }
  auto virtualDisplays = std::make_shared<X11VirtualDisplayPlatform>(connection);
  virtualDisplays->removeStale("Tavelin");
  PlatformServices services;
  services.name = "X11 on " + shown;
  services.capture = std::make_shared<X11CaptureService>(display);
  services.windows = std::make_shared<X11WindowServer>(connection);
  services.applications = std::make_shared<X11ApplicationRegistry>(connection);
  services.windowControl = std::make_shared<X11WindowControl>(connection);
  services.poster = std::make_shared<X11EventPoster>(display);
  services.virtualDisplays = std::move(virtualDisplays);
  services.virtualDisplayNote =
      "Experimental. Uses a RandR monitor that no screen shows; on Xorg the pointer cannot reach "
      "it, so input to windows there is limited.";
  services.placesOverlays = true;
  return services;
}

}  // namespace tavelin::x11
