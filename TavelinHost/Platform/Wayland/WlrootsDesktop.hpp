#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Platform/VirtualDisplayPlatform.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {

class SwayIpc;
class WlrootsConnection;

// The windows of a wlroots compositor as sway's IPC tells them (where sway runs): every view's
// title, application id, process, place and focus, read at most every `freshFor` (window
// portals look their window up for every picture). The outputs come from the Wayland
// connection. Without sway there is no window list: the foreign toplevel list of other
// compositors tells neither where a window is nor whose it is, so windows can be neither
// captured nor found again there.
class WlrootsWindowServer final : public WindowServer {
 public:
  static constexpr std::chrono::milliseconds freshFor{100};

  WlrootsWindowServer(std::shared_ptr<WlrootsConnection> connection, std::shared_ptr<SwayIpc> sway)
      : connection_(std::move(connection)), sway_(std::move(sway)) {}

  std::vector<LiveWindow> onScreenWindows() override;
  std::optional<LiveWindow> window(std::uint32_t windowID) override;
  std::vector<DisplayDescription> displays() override;
  std::int32_t ownProcessID() const override;

  // Every view, visible or not; read afresh when older than `freshFor`.
  std::vector<LiveWindow> windows();

 private:
  const std::shared_ptr<WlrootsConnection> connection_;
  const std::shared_ptr<SwayIpc> sway_;
  std::mutex lock_;
  std::vector<LiveWindow> windows_;                 // guarded by lock_
  std::chrono::steady_clock::time_point readAt_{};  // guarded by lock_
};

// Applications by their process, and bringing one to the front through sway. An application
// is known by the application id of its windows (what Wayland names an application by, kept
// across restarts), else by its executable's name.
class SwayApplications final : public ApplicationRegistry {
 public:
  SwayApplications(std::shared_ptr<SwayIpc> sway, std::shared_ptr<WlrootsWindowServer> windows)
      : sway_(std::move(sway)), windows_(std::move(windows)) {}
  std::optional<std::string> bundleIdentifier(std::int32_t processID) override;
  bool activate(std::int32_t processID) override;

 private:
  std::shared_ptr<SwayIpc> sway_;
  std::shared_ptr<WlrootsWindowServer> windows_;
};

// Moving and raising windows through sway: a moved window floats at the place asked for.
class SwayWindowControl final : public WindowControl {
 public:
  SwayWindowControl(std::shared_ptr<SwayIpc> sway, std::shared_ptr<WlrootsWindowServer> windows)
      : sway_(std::move(sway)), windows_(std::move(windows)) {}
  bool isTrusted() const override { return true; }
  std::optional<std::vector<ControlledWindow>> windows(std::int32_t processID) override;
  bool setPosition(std::uint32_t handle, const ScreenPoint& origin) override;
  bool raise(std::uint32_t handle) override;

 private:
  std::shared_ptr<SwayIpc> sway_;
  std::shared_ptr<WlrootsWindowServer> windows_;
};

// A virtual display on sway: a headless output of its own (`create_output`). sway 1.7 can
// neither remove nor turn off an output again, so the output outlives its display, and the next
// display uses it again at the size asked for.
class SwayVirtualDisplays final : public VirtualDisplayPlatform {
 public:
  SwayVirtualDisplays(std::shared_ptr<SwayIpc> sway, std::shared_ptr<WlrootsConnection> connection,
                      HostLogSink log)
      : sway_(std::move(sway)), connection_(std::move(connection)), log_(std::move(log)) {}
  bool isSupported() override { return sway_ != nullptr; }
  std::unique_ptr<VirtualDisplayBacking> create(const VirtualDisplayRequest& request) override;

 private:
  const std::shared_ptr<SwayIpc> sway_;
  const std::shared_ptr<WlrootsConnection> connection_;
  const HostLogSink log_;
  std::mutex lock_;
  std::vector<std::string> made_;  // guarded by lock_: the outputs we made
};

}  // namespace tavelin::wayland
