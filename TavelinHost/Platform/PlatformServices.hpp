#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/VirtualDisplayPlatform.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin {

// One desktop platform's adapters of the ports, as the host is wired with them. A port left
// empty is a thing the platform cannot do (no virtual displays, say); the host says so.
struct PlatformServices {
  std::string name;  // for the log: "X11 on :0"
  std::shared_ptr<ScreenCaptureService> capture;
  std::shared_ptr<WindowServer> windows;
  std::shared_ptr<ApplicationRegistry> applications;
  std::shared_ptr<WindowControl> windowControl;
  std::shared_ptr<EventPoster> poster;
  std::shared_ptr<VirtualDisplayPlatform> virtualDisplays;
  // What the window says under the virtual display: what it is here and what it cannot do.
  std::string virtualDisplayNote;
  // Why windows cannot be moved on this desktop, for the user; empty where they can be.
  std::string noWindowMoves;
  // Why no window can be shared on this desktop, for the user; empty where windows are listed
  // or chosen.
  std::string noWindows;
  // What a shared window shows here unlike elsewhere (what covers it, say), for the user; empty
  // where a window is captured on its own.
  std::string windowCaptureNote;
  // Where other applications' windows cannot be listed: lets the user pick one in the
  // desktop's own window chooser, which then lists it like any other window. Blocks until the
  // user answers; its id, or nothing with the reason in `why`. Empty where windows are listed.
  std::function<std::optional<std::uint32_t>(std::string& why)> chooseWindow;
  // Whether the host may place its own windows over other applications', anywhere on the
  // desktop: the overlays that select a screen region and outline a shared one need that.
  bool placesOverlays = false;
  // The adapters' own log lines (what a desktop refused); the host connects it to its log.
  std::shared_ptr<LateLogSink> log = std::make_shared<LateLogSink>();
};

}  // namespace tavelin
