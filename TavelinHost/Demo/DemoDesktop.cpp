#include "TavelinHost/Demo/DemoDesktop.hpp"

#include <chrono>
#include <cstdio>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "TavelinHost/Runtime/HostLines.hpp"

namespace tavelin {

std::optional<DemoHost::Desktop> demoDesktop(const PlatformServices& platform,
                                             const std::vector<std::string>& arguments,
                                             const PictureSettings& pictures,
                                             const DemoHost::Emit& emit) {
  auto applications = std::make_shared<RunningApplicationCache>(platform.applications);
  const HostLogSink log = [emit](std::string_view category, std::string_view message) {
    emit(hostLines::log(category, message));
  };
  DemoHost::Desktop desktop;
  desktop.factory = std::make_shared<PortalSourceFactory>(
      platform.capture, platform.windows,
      std::make_shared<WindowResolver>(platform.windows, applications, log), log,
      [pictures] { return pictures; });
  desktop.input = {platform.poster, platform.windows, platform.applications,
                   platform.windowControl};
  for (std::size_t i = 0; i + 1 < arguments.size(); i += 2) {
    const std::string& value = arguments[i + 1];
    if (arguments[i] == "--window") {
      std::optional<LiveWindow> found;
      for (const auto& window : platform.windows->onScreenWindows()) {
        if (window.name == value) found = window;
      }
      if (!found) {
        emit(hostLines::log("Host", "No window titled " + value));
        return std::nullopt;
      }
      const ScreenRect area = found->capturedArea();
      WindowTarget target{applications->bundleIdentifier(found->ownerProcessID).value_or(""),
                          found->ownerName,
                          found->name,
                          found->ownerProcessID,
                          found->windowID,
                          area.width,
                          area.height};
      desktop.portals.push_back({Uuid::random(), "Window " + value,
                                 std::chrono::system_clock::now(),
                                 WindowPortalData{target, WindowCaptureMode::fullWindow}});
    } else if (arguments[i] == "--region") {
      double x0 = 0, y0 = 0, w = 0, h = 0;
      if (std::sscanf(value.c_str(), "%lf,%lf,%lf,%lf", &x0, &y0, &w, &h) != 4 || w <= 0 ||
          h <= 0) {
        emit(hostLines::log("Host", "Not a region: " + value));
        return std::nullopt;
      }
      desktop.portals.push_back({Uuid::random(),
                                 "Screen region " + std::to_string(static_cast<long>(w)) +
                                     "\u00D7" + std::to_string(static_cast<long>(h)),
                                 std::chrono::system_clock::now(),
                                 ScreenRegionPortalData{{x0, y0, w, h}, 0, false}});
    }
  }
  return desktop;
}

}  // namespace tavelin
