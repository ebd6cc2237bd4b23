#pragma once

#include <memory>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {

class MutterDisplays;
class SessionBus;

// GNOME's desktop as an ordinary application sees it: its monitors, and none of the other
// applications' windows (GNOME Shell answers such questions only for itself). Window portals
// therefore cannot be made here, and windows can be neither raised nor moved.
class MutterWindowServer final : public WindowServer {
 public:
  explicit MutterWindowServer(std::shared_ptr<MutterDisplays> displays)
      : displays_(std::move(displays)) {}
  std::vector<LiveWindow> onScreenWindows() override { return {}; }
  std::optional<LiveWindow> window(std::uint32_t) override { return std::nullopt; }
  std::vector<DisplayDescription> displays() override;
  std::int32_t ownProcessID() const override;

 private:
  std::shared_ptr<MutterDisplays> displays_;
};

class WaylandApplications final : public ApplicationRegistry {
 public:
  // The executable's name, read from /proc.
  std::optional<std::string> bundleIdentifier(std::int32_t processID) override;
  bool activate(std::int32_t) override { return false; }
};

class UntrustedWindowControl final : public WindowControl {
 public:
  bool isTrusted() const override { return false; }
  std::optional<std::vector<ControlledWindow>> windows(std::int32_t) override {
    return std::nullopt;
  }
  bool setPosition(std::uint32_t, const ScreenPoint&) override { return false; }
  bool raise(std::uint32_t) override { return false; }
};

// Pictures of Mutter's monitors, each stream a screen cast of its own through PipeWire.
class MutterCaptureService final : public ScreenCaptureService {
 public:
  MutterCaptureService(std::shared_ptr<SessionBus> bus, std::shared_ptr<MutterDisplays> displays,
                       HostLogSink log)
      : bus_(std::move(bus)), displays_(std::move(displays)), log_(std::move(log)) {}
  bool isAvailable() const override { return true; }
  bool preflightPermission() const override { return true; }  // Mutter asks nobody
  void shareableContent(
      std::function<void(std::optional<ShareableContent>, std::error_code)> done) override;
  std::optional<ContentFilter> displayFilter(std::uint32_t displayID,
                                             std::vector<std::int32_t> excludedProcessIDs) override;
  std::optional<ContentFilter> windowFilter(std::uint32_t) override { return std::nullopt; }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) override;

 private:
  std::shared_ptr<SessionBus> bus_;
  std::shared_ptr<MutterDisplays> displays_;
  HostLogSink log_;
};

}  // namespace tavelin::wayland
