#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/Wayland/PortalSession.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"

namespace tavelin::wayland {

class WaylandKeymap;

// The portal session the host runs on, for the capture and input adapters alike. When the
// desktop ends it (the user stopped sharing from the desktop), sharing stays stopped: the
// host does not ask again by itself, and its monitors are gone until the next run.
class PortalDesktop {
 public:
  PortalDesktop(std::shared_ptr<SessionBus> bus, PortalTokens tokens,
                std::function<void()> beforeDialog, HostLogSink log);
  ~PortalDesktop();

  // The session now, started (asking the desktop) when there has been none; nothing, with
  // the reason, when the desktop will not share or ended the sharing.
  std::shared_ptr<PortalSession> session(std::error_code& error, std::string& why);
  // The session now, as it is: input never asks the desktop again by itself.
  std::shared_ptr<PortalSession> current();
  // The monitors of the last session.
  std::vector<DisplayDescription> displays();
  // A stream's display id: from the portal's own name for it, kept by restored sessions, or
  // from where it lies.
  static std::uint32_t displayID(const PortalStream& stream);

  const HostLogSink& log() const { return log_; }

 private:
  const std::shared_ptr<SessionBus> bus_;
  const PortalTokens tokens_;
  const std::function<void()> beforeDialog_;
  const HostLogSink log_;
  std::mutex starting_;  // one dialog at a time
  std::mutex lock_;
  std::shared_ptr<PortalSession> session_;    // guarded by lock_
  std::vector<DisplayDescription> displays_;  // guarded by lock_
  bool endedByDesktop_ = false;               // guarded by lock_
};

// The monitors of the portal session; other applications' windows are the portal's business.
class PortalWindowServer final : public WindowServer {
 public:
  explicit PortalWindowServer(std::shared_ptr<PortalDesktop> desktop)
      : desktop_(std::move(desktop)) {}
  std::vector<LiveWindow> onScreenWindows() override { return {}; }
  std::optional<LiveWindow> window(std::uint32_t) override { return std::nullopt; }
  std::vector<DisplayDescription> displays() override { return desktop_->displays(); }
  std::int32_t ownProcessID() const override;

 private:
  std::shared_ptr<PortalDesktop> desktop_;
};

// Pictures of the session's monitors through the PipeWire remote the portal opens.
class PortalCaptureService final : public ScreenCaptureService {
 public:
  explicit PortalCaptureService(std::shared_ptr<PortalDesktop> desktop)
      : desktop_(std::move(desktop)) {}
  bool isAvailable() const override { return true; }
  bool preflightPermission() const override { return true; }  // the session was allowed
  void shareableContent(
      std::function<void(std::optional<ShareableContent>, std::error_code)> done) override;
  std::optional<ContentFilter> displayFilter(std::uint32_t displayID,
                                             std::vector<std::int32_t> excludedProcessIDs) override;
  std::optional<ContentFilter> windowFilter(std::uint32_t) override { return std::nullopt; }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) override;

 private:
  std::shared_ptr<PortalDesktop> desktop_;
};

// Input through the session's remote desktop: absolute motion on the monitor's stream, buttons,
// wheel clicks and keys by keysym. Characters the keyboard layout does not have cannot be typed
// this way, and are reported. Callable from any thread.
class PortalRemoteDesktop final : public EventPoster {
 public:
  explicit PortalRemoteDesktop(std::shared_ptr<PortalDesktop> desktop);
  ~PortalRemoteDesktop() override;

  bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) override;
  bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) override;
  bool keyPress(std::uint16_t virtualKey) override;
  bool typeUnits(std::u16string_view units) override;
  bool isButtonDown(int button) override;

 private:
  bool keysym(PortalSession& session, std::uint32_t keysym, bool pressed);
  bool button(PortalSession& session, int button, bool pressed);

  const std::shared_ptr<PortalDesktop> desktop_;
  std::mutex lock_;                        // one event sequence at a time
  unsigned pressed_ = 0;                   // guarded by lock_: our buttons held, bit per button
  std::unique_ptr<WaylandKeymap> keymap_;  // guarded by lock_
};

}  // namespace tavelin::wayland
