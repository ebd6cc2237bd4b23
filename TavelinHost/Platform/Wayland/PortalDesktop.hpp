#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/Wayland/PortalSession.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"

namespace tavelin::wayland {

class SessionClipboard;
class WaylandKeymap;

// The portal sessions the host runs on, for the capture and input adapters alike: one for the
// monitors, asked for at start, and one for each window the user picked in the desktop's
// window chooser. When the desktop ends the monitors' session (the user stopped sharing from
// the desktop), sharing stays stopped: the host does not ask again by itself, and its monitors
// are gone until the next run.
//
// The desktop tells nothing of where a chosen window lies. Its pictures and its input live in
// a plane of their own, beyond every monitor: a window numbered N covers the host's screen
// points from (windowPlane + N × windowSpacing, 0), as large as its pictures, and a point there
// is that point of the window.
class PortalDesktop {
 public:
  static constexpr double windowPlane = 1 << 20;
  static constexpr double windowSpacing = 1 << 16;

  PortalDesktop(std::shared_ptr<SessionBus> bus, PortalTokenStore tokens,
                std::function<void()> beforeDialog, HostLogSink log);
  ~PortalDesktop();

  // The monitors' session now, started (asking the desktop) when there has been none; nothing,
  // with the reason, when the desktop will not share or ended the sharing.
  std::shared_ptr<PortalSession> session(std::error_code& error, std::string& why);
  // The monitors' session now, as it is: input never asks the desktop again by itself.
  std::shared_ptr<PortalSession> current();
  // The desktop's clipboard, through the monitors' session while it runs and where the portal
  // gave it one; it keeps that session alive.
  std::shared_ptr<SessionClipboard> clipboard();
  // The monitors of the last session.
  std::vector<DisplayDescription> displays();
  // A stream's display id: from the portal's own name for it, kept by restored sessions, or
  // from where it lies.
  static std::uint32_t displayID(const PortalStream& stream);

  // Asks the desktop's window chooser for a window to share, in a session of its own that
  // lasts while the host runs and is restored by later runs where the portal persists
  // sessions. Blocks until the user answers; nothing, with the reason, when they do not pick
  // one.
  std::optional<LiveWindow> chooseWindow(std::error_code& error, std::string& why);
  // The chosen windows whose sessions still run.
  std::vector<LiveWindow> windows();
  // One chosen window. A window of an earlier run is restored on its first look-up, without a
  // dialog where the portal kept the permission; nothing once its session ended.
  std::optional<LiveWindow> window(std::uint32_t windowID);
  // The window's session and the node of its pictures; nothing once it ended.
  std::shared_ptr<PortalSession> windowSession(std::uint32_t windowID, std::uint32_t& node);
  // What the window's pictures measure now, as its stream delivers them.
  void windowSized(std::uint32_t windowID, int width, int height);

  // Where a pointer at the host's screen point goes: the session, the stream it names and the
  // point in that stream.
  struct PointerAt {
    std::shared_ptr<PortalSession> session;
    std::uint32_t node = 0;
    double x = 0;
    double y = 0;
  };
  std::optional<PointerAt> pointerAt(const ScreenPoint& at);

  const HostLogSink& log() const { return log_; }

 private:
  struct ChosenWindow {
    std::shared_ptr<PortalSession> session;
    std::uint32_t node = 0;
    ScreenRect bounds;  // in the plane
  };
  static LiveWindow described(std::uint32_t windowID, const ChosenWindow& chosen);
  std::optional<LiveWindow> startWindow(std::uint32_t windowID, std::error_code& error,
                                        std::string& why);
  // Forgets windows whose sessions ended; lock_ held.
  void dropEndedWindows();

  const std::shared_ptr<SessionBus> bus_;
  const PortalTokenStore tokens_;
  const std::function<void()> beforeDialog_;
  const HostLogSink log_;
  std::mutex starting_;  // one dialog at a time
  std::mutex lock_;
  std::shared_ptr<PortalSession> session_;        // guarded by lock_
  std::vector<DisplayDescription> displays_;      // guarded by lock_
  bool endedByDesktop_ = false;                   // guarded by lock_
  std::map<std::uint32_t, ChosenWindow> chosen_;  // guarded by lock_
  std::set<std::uint32_t> restoreTried_;          // guarded by lock_
  std::uint32_t lastWindowNumber_ = 0;            // guarded by lock_
};

// The monitors of the portal session, and the windows the user chose in the desktop's chooser:
// other applications' windows are the portal's business.
class PortalWindowServer final : public WindowServer {
 public:
  explicit PortalWindowServer(std::shared_ptr<PortalDesktop> desktop)
      : desktop_(std::move(desktop)) {}
  std::vector<LiveWindow> onScreenWindows() override { return desktop_->windows(); }
  std::optional<LiveWindow> window(std::uint32_t id) override { return desktop_->window(id); }
  std::vector<DisplayDescription> displays() override { return desktop_->displays(); }
  std::int32_t ownProcessID() const override;

 private:
  std::shared_ptr<PortalDesktop> desktop_;
};

// Pictures of the session's monitors and of the chosen windows through the PipeWire remote the
// portal opens.
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
  std::optional<ContentFilter> windowFilter(std::uint32_t windowID) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) override;

 private:
  std::shared_ptr<PortalDesktop> desktop_;
};

// Input through the sessions' remote desktop: absolute motion on the stream of the monitor or
// window the point is on, then buttons, wheel clicks and keys by keysym through that same
// session. Characters the keyboard layout does not have are pasted through the desktop's
// clipboard where the portal gave it, and reported where it did not. The phone's clipboard text
// goes there too, and other applications' comes from it. Callable from any thread.
class PortalRemoteDesktop final : public EventPoster {
 public:
  explicit PortalRemoteDesktop(std::shared_ptr<PortalDesktop> desktop);
  ~PortalRemoteDesktop() override;

  bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) override;
  bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) override;
  bool keyPress(std::uint16_t virtualKey) override;
  bool modifierKey(std::uint16_t virtualKey, bool down) override;
  bool typeUnits(std::u16string_view units) override;
  bool isButtonDown(int button) override;
  bool setClipboard(std::string_view utf8) override;
  bool watchClipboard(ClipboardWatcher watcher, std::size_t limit) override;

 private:
  bool keysym(PortalSession& session, std::uint32_t keysym, bool pressed);
  bool button(PortalSession& session, int button, bool pressed);
  // The session the pointer was last placed through, while it runs; else the monitors'.
  std::shared_ptr<PortalSession> inputSession();

  const std::shared_ptr<PortalDesktop> desktop_;
  std::mutex lock_;                        // one event sequence at a time
  unsigned pressed_ = 0;                   // guarded by lock_: our buttons held, bit per button
  std::weak_ptr<PortalSession> pointing_;  // guarded by lock_
  std::unique_ptr<WaylandKeymap> keymap_;  // guarded by lock_
};

}  // namespace tavelin::wayland
