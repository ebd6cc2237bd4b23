#include "TavelinHost/Capture/WindowDiscovery.hpp"

#include <algorithm>
#include <cmath>

namespace tavelin {

namespace {

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool usableSize(const ScreenRect& frame) {
  return frame.width > WindowEnumerator::minimumSide &&
         frame.height > WindowEnumerator::minimumSide;
}

}  // namespace

std::vector<WindowInfo> WindowEnumerator::pickable(const ShareableContent& content,
                                                   std::int32_t ownProcessID) {
  std::vector<WindowInfo> windows;
  for (const auto& window : content.windows) {
    const auto& owner = window.owningApplication;
    if (!owner || owner->processID == ownProcessID || window.layer != 0 ||
        !usableSize(window.frame)) {
      continue;
    }
    if (window.title.empty() && owner->applicationName.empty()) continue;
    windows.push_back({window.windowID, window.title, owner->applicationName,
                       owner->bundleIdentifier, owner->processID, window.frame, window.isOnScreen});
  }
  std::stable_sort(windows.begin(), windows.end(), [](const WindowInfo& a, const WindowInfo& b) {
    const auto applicationA = lowercased(a.applicationName);
    const auto applicationB = lowercased(b.applicationName);
    if (applicationA != applicationB) return applicationA < applicationB;
    return lowercased(a.title) < lowercased(b.title);
  });
  return windows;
}

void WindowEnumerator::windows(ScreenCaptureService& service, std::int32_t ownProcessID,
                               std::function<void(std::vector<WindowInfo>)> done) {
  service.shareableContent([ownProcessID, done = std::move(done)](
                               std::optional<ShareableContent> content, std::error_code) {
    done(content ? pickable(*content, ownProcessID) : std::vector<WindowInfo>{});
  });
}

std::optional<std::string> RunningApplicationCache::bundleIdentifier(std::int32_t processID) {
  {
    std::lock_guard guard(lock_);
    const auto found = entries_.find(processID);
    if (found != entries_.end() &&
        secondsBetween(found->second.timestamp, now_()) < static_cast<double>(lifetime.count())) {
      return found->second.identifier;
    }
  }
  auto identifier = registry_->bundleIdentifier(processID);
  std::lock_guard guard(lock_);
  entries_.insert_or_assign(processID, Entry{identifier, now_()});
  return identifier;
}

std::vector<WindowInfo> WindowResolver::liveWindows() const {
  std::vector<WindowInfo> windows;
  for (const auto& window : server_->onScreenWindows()) {
    if (window.layer != 0 || !usableSize(window.bounds)) continue;
    windows.push_back({window.windowID, window.name, window.ownerName,
                       applications_->bundleIdentifier(window.ownerProcessID).value_or(""),
                       window.ownerProcessID, window.bounds, true});
  }
  return windows;
}

bool WindowResolver::matchesIdentity(std::uint32_t windowID, const WindowTarget& target) const {
  const auto window = server_->window(windowID);
  if (!window) return false;
  if (target.bundleIdentifier.empty()) return true;
  const auto identifier = applications_->bundleIdentifier(window->ownerProcessID);
  return identifier && *identifier == target.bundleIdentifier;
}

WindowResolution WindowResolver::resolve(const WindowTarget& target) const {
  if (target.windowID != 0 && matchesIdentity(target.windowID, target)) {
    return {WindowResolution::Found{target.windowID}};
  }
  std::vector<WindowInfo> kept;
  if (!target.bundleIdentifier.empty()) {
    for (auto& window : liveWindows()) {
      if (window.bundleIdentifier == target.bundleIdentifier) kept.push_back(std::move(window));
    }
  }
  if (kept.size() == 1) return {WindowResolution::Found{kept.front().id}};
  if (kept.empty()) return {WindowResolution::NotFound{}};
  if (!target.titleHint.empty()) {
    const WindowInfo* titled = nullptr;
    std::size_t matches = 0;
    for (const auto& window : kept) {
      if (window.title == target.titleHint) {
        titled = &window;
        ++matches;
      }
    }
    if (matches == 1) return {WindowResolution::Found{titled->id}};
  }
  if (log_) {
    log_("Windows", "Target " + target.applicationName + " matched " + std::to_string(kept.size()) +
                        " windows \u2014 asking the user to select again");
  }
  return {WindowResolution::Ambiguous{std::move(kept)}};
}

std::vector<DisplayInfo> DisplayManager::displays(WindowServer& server) {
  std::vector<DisplayInfo> displays;
  for (const auto& display : server.displays())
    displays.push_back({display.displayID, display.bounds, display.scale});
  return displays;
}

std::optional<DisplayInfo> DisplayManager::displayContaining(
    const std::vector<DisplayInfo>& displays, const ScreenRect& rect) {
  if (rect.width <= 0 || rect.height <= 0) return std::nullopt;
  const DisplayInfo* best = nullptr;
  double bestArea = 0;
  for (const auto& display : displays) {
    const ScreenRect overlap = rect.intersect(display.bounds);
    const double area = overlap.width * overlap.height;
    if (area > bestArea) {
      best = &display;
      bestArea = area;
    }
  }
  if (best) return *best;
  return mainDisplay(displays);
}

std::optional<DisplayInfo> DisplayManager::mainDisplay(const std::vector<DisplayInfo>& displays) {
  for (const auto& display : displays) {
    if (display.bounds.x == 0 && display.bounds.y == 0) return display;
  }
  if (!displays.empty()) return displays.front();
  return std::nullopt;
}

std::optional<DisplayInfo> DisplayManager::displayFor(const std::vector<DisplayInfo>& displays,
                                                      std::uint32_t id) {
  for (const auto& display : displays) {
    if (display.id == id) return display;
  }
  return std::nullopt;
}

bool WindowMover::move(WindowControl& control, const WindowInfo& window,
                       const ScreenPoint& origin) {
  if (!control.isTrusted()) return false;
  const auto windows = control.windows(window.processID);
  if (!windows || windows->empty()) return false;
  const auto matches = [&](const ControlledWindow& candidate) {
    if (!window.title.empty() && candidate.title == window.title) return true;
    return candidate.position && std::abs(candidate.position->x - window.frame.x) < 4.0 &&
           std::abs(candidate.position->y - window.frame.y) < 4.0;
  };
  const auto found = std::find_if(windows->begin(), windows->end(), matches);
  const auto& chosen = found != windows->end() ? *found : windows->front();
  return control.setPosition(chosen.handle, origin);
}

}  // namespace tavelin
