#include "TavelinHost/Platform/Wayland/WlrootsDesktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <thread>

#include "TavelinHost/Platform/Wayland/MutterDesktop.hpp"
#include "TavelinHost/Platform/Wayland/SwayIpc.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsConnection.hpp"
#include "TavelinKit/Foundation/Json.hpp"

namespace tavelin::wayland {

namespace {

// sway's container ids are small counters: they fit the host's window ids.
LiveWindow liveWindow(const SwayWindow& view) {
  LiveWindow window;
  window.windowID = static_cast<std::uint32_t>(view.conID);
  window.ownerProcessID = view.pid;
  window.bounds = view.rect;
  window.name = view.title;
  window.ownerName = view.appID;
  window.isOnScreen = view.visible;
  return window;
}

}  // namespace

std::vector<LiveWindow> WlrootsWindowServer::windows() {
  if (!sway_) return {};
  std::lock_guard guard(lock_);
  const auto now = std::chrono::steady_clock::now();
  if (now - readAt_ < freshFor) return windows_;
  std::string why;
  const auto tree = sway_->request(SwayIpc::getTree, "", why);
  if (!tree) return windows_;  // the last we knew, until sway answers again
  windows_.clear();
  for (const auto& view : swayWindows(*tree)) {
    if (view.conID > 0 && view.conID <= 0xffffffff) windows_.push_back(liveWindow(view));
  }
  readAt_ = now;
  return windows_;
}

std::vector<LiveWindow> WlrootsWindowServer::onScreenWindows() {
  auto all = windows();
  std::erase_if(all, [](const LiveWindow& window) { return !window.isOnScreen; });
  return all;
}

std::optional<LiveWindow> WlrootsWindowServer::window(std::uint32_t windowID) {
  for (auto& window : windows()) {
    if (window.windowID == windowID) return window;
  }
  return std::nullopt;
}

std::vector<DisplayDescription> WlrootsWindowServer::displays() {
  std::vector<DisplayDescription> displays;
  for (const auto& output : connection_->outputs()) {
    displays.push_back(
        {output.displayID, output.bounds, static_cast<double>(output.scale), displays.empty()});
  }
  return displays;
}

std::int32_t WlrootsWindowServer::ownProcessID() const { return ::getpid(); }

std::optional<std::string> SwayApplications::bundleIdentifier(std::int32_t processID) {
  if (processID <= 0) return std::nullopt;
  for (const auto& window : windows_->windows()) {
    if (window.ownerProcessID == processID && !window.ownerName.empty()) return window.ownerName;
  }
  return WaylandApplications().bundleIdentifier(processID);
}

bool SwayApplications::activate(std::int32_t processID) {
  if (!sway_ || processID <= 0) return false;
  std::string why;
  return sway_->command("[pid=" + std::to_string(processID) + "] focus", why);
}

std::optional<std::vector<ControlledWindow>> SwayWindowControl::windows(std::int32_t processID) {
  std::vector<ControlledWindow> found;
  for (const auto& window : windows_->windows()) {
    if (window.ownerProcessID != processID) continue;
    found.push_back({window.windowID, window.name, ScreenPoint{window.bounds.x, window.bounds.y}});
  }
  return found;
}

bool SwayWindowControl::setPosition(std::uint32_t handle, const ScreenPoint& origin) {
  std::string why;
  return sway_->command(
      "[con_id=" + std::to_string(handle) + "] floating enable, move absolute position " +
          std::to_string(std::lround(origin.x)) + " " + std::to_string(std::lround(origin.y)),
      why);
}

bool SwayWindowControl::raise(std::uint32_t handle) {
  std::string why;
  return sway_->command("[con_id=" + std::to_string(handle) + "] focus", why);
}

namespace {

// sway 1.7 can neither remove nor turn off an output it made (turning one off fails, though it
// answers success): the output stays while sway runs, and the next virtual display uses it.
class SwayOutputBacking final : public VirtualDisplayBacking {
 public:
  explicit SwayOutputBacking(std::uint32_t displayID) : displayID_(displayID) {}
  std::uint32_t displayID() const override { return displayID_; }

 private:
  std::uint32_t displayID_;
};

}  // namespace

std::unique_ptr<VirtualDisplayBacking> SwayVirtualDisplays::create(
    const VirtualDisplayRequest& request) {
  std::lock_guard guard(lock_);
  std::string why;
  auto named = [this](const std::string& name) -> std::optional<WlrootsOutput> {
    for (const auto& output : connection_->outputs()) {
      if (output.name == name) return output;
    }
    return std::nullopt;
  };
  // Outputs show up on the Wayland connection a moment after sway made or changed them.
  auto waitFor = [](const std::function<bool()>& done) {
    for (int attempt = 0; attempt < 150; ++attempt) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  auto fail = [this](const std::string& reason) {
    if (log_) log_("VirtualDisplay", "Virtual display error: " + reason);
    return nullptr;
  };
  // The output made for an earlier virtual display is still there: sway cannot remove it.
  std::string name;
  for (const auto& made : made_) {
    if (named(made)) name = made;
  }
  if (name.empty()) {
    std::vector<std::string> before;
    for (const auto& output : connection_->outputs()) before.push_back(output.name);
    if (!sway_->createOutput(why)) return fail("sway made no output: " + why);
    waitFor([&] {
      for (const auto& output : connection_->outputs()) {
        if (std::find(before.begin(), before.end(), output.name) == before.end()) {
          name = output.name;
        }
      }
      return !name.empty();
    });
    if (name.empty()) return fail("sway's new output never showed");
    made_.push_back(name);
  }
  const auto size =
      std::to_string(request.widthPixels) + "x" + std::to_string(request.heightPixels);
  if (!sway_->command("output " + name + " mode " + size, why)) {
    return fail("sway's output " + name + " did not take the size " + size + ": " + why);
  }
  std::optional<WlrootsOutput> shown;
  const bool sized = waitFor([&] {
    shown = named(name);
    return shown && shown->pixelWidth == static_cast<int>(request.widthPixels) &&
           shown->pixelHeight == static_cast<int>(request.heightPixels);
  });
  if (!sized) return fail("sway's output " + name + " did not take the size " + size);
  return std::make_unique<SwayOutputBacking>(shown->displayID);
}

}  // namespace tavelin::wayland
