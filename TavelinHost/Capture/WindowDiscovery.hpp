#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/DisplayInfo.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/WindowInfo.hpp"

// Finding windows and displays on the desktop, and deciding which live window a portal's
// remembered target means. Pure rules over the platform ports.
namespace tavelin {

namespace WindowEnumerator {

// Windows only count when both sides exceed this many points.
inline constexpr double minimumSide = 40;

// The windows a user may pick from: other applications' ordinary windows of a usable size
// with a title or an application name, sorted by application then title, ignoring case.
std::vector<WindowInfo> pickable(const ShareableContent& content, std::int32_t ownProcessID);
// Asks the capture service; an empty list when it cannot answer.
void windows(ScreenCaptureService& service, std::int32_t ownProcessID,
             std::function<void(std::vector<WindowInfo>)> done);

}  // namespace WindowEnumerator

// Process → bundle identifier, remembered for 5 s (unknown answers too). Any thread; the
// registry is asked outside the lock.
class RunningApplicationCache {
 public:
  static constexpr std::chrono::seconds lifetime{5};

  RunningApplicationCache(std::shared_ptr<ApplicationRegistry> registry, Clock now = systemClock())
      : registry_(std::move(registry)), now_(std::move(now)) {}

  std::optional<std::string> bundleIdentifier(std::int32_t processID);

 private:
  struct Entry {
    std::optional<std::string> identifier;
    Date timestamp;
  };
  const std::shared_ptr<ApplicationRegistry> registry_;
  const Clock now_;
  std::mutex lock_;
  std::unordered_map<std::int32_t, Entry> entries_;
};

struct WindowResolution {
  struct Found {
    std::uint32_t windowID;
  };
  struct Ambiguous {
    std::vector<WindowInfo> candidates;
  };
  struct NotFound {};
  std::variant<Found, Ambiguous, NotFound> value;
};

// From a remembered WindowTarget to the one live window it means, if there is exactly one.
class WindowResolver {
 public:
  WindowResolver(std::shared_ptr<WindowServer> server,
                 std::shared_ptr<RunningApplicationCache> applications, HostLogSink log)
      : server_(std::move(server)), applications_(std::move(applications)), log_(std::move(log)) {}

  WindowResolution resolve(const WindowTarget& target) const;
  // Whether that window still exists and belongs to the target's application.
  bool matchesIdentity(std::uint32_t windowID, const WindowTarget& target) const;
  // Ordinary on-screen windows of a usable size, each with its bundle identifier.
  std::vector<WindowInfo> liveWindows() const;

 private:
  const std::shared_ptr<WindowServer> server_;
  const std::shared_ptr<RunningApplicationCache> applications_;
  const HostLogSink log_;
};

namespace DisplayManager {

std::vector<DisplayInfo> displays(WindowServer& server);
// The display a rectangle lies on most; the first of equal overlaps; for a rectangle on no
// display, the one at (0, 0), else the first.
std::optional<DisplayInfo> displayContaining(const std::vector<DisplayInfo>& displays,
                                             const ScreenRect& rect);
std::optional<DisplayInfo> displayFor(const std::vector<DisplayInfo>& displays, std::uint32_t id);
// The display whose origin is (0, 0), else the first; nothing without displays.
std::optional<DisplayInfo> mainDisplay(const std::vector<DisplayInfo>& displays);

}  // namespace DisplayManager

namespace WindowMover {

// Moves the window (found among its application's windows by title, else by position within
// 4 points, else the application's first window) so its top-left is at `origin`.
bool move(WindowControl& control, const WindowInfo& window, const ScreenPoint& origin);

}  // namespace WindowMover

}  // namespace tavelin
