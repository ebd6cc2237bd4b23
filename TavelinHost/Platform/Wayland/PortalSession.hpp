#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/Geometry.hpp"

struct sd_bus_message;

namespace tavelin::wayland {

class SessionBus;
class SessionClipboard;

// A monitor or window the desktop shares in a portal session, as its Start answer described it.
struct PortalStream {
  std::uint32_t node = 0;  // the PipeWire node of its pictures; input names it too
  std::string id;          // the portal's name for it, kept by restored sessions; may be empty
  ScreenRect bounds;       // a monitor: where it lies on the desktop; a window: its size only
};

// Where a session's restore token lives between runs. Tokens are good for one session only:
// the one each Start hands back replaces the one it used.
struct PortalTokens {
  std::function<std::string()> load;
  std::function<void(const std::string&)> save;
};

// Every session's restore token by its name: "screens" for the monitors' session, "window N"
// for the window the host numbered N. Saving "" spends a window's token (the screens' stays,
// empty).
struct PortalTokenStore {
  std::function<std::map<std::string, std::string>()> load;
  std::function<void(const std::string& name, const std::string& token)> save;

  PortalTokens of(const std::string& name) const {
    return {[load = load, name] {
              const auto all = load ? load() : std::map<std::string, std::string>{};
              const auto found = all.find(name);
              return found == all.end() ? std::string() : found->second;
            },
            [save = save, name](const std::string& token) {
              if (save) save(name, token);
            }};
  }
};

// What a session shares: every monitor, or the one window the user picks in the desktop's
// chooser.
enum class PortalSources { monitors, window };

// One session of the desktop portal (xdg-desktop-portal: GNOME, KDE) that combines remote
// desktop (pointer and keyboard) with a screen cast of every monitor, or of one window.
// Starting it shows the desktop's own dialog, which is the user's consent; a stored restore
// token lets a later run start without one where the portal persists sessions (remote desktop
// version 2 and later). The monitors' session also asks for the desktop's clipboard where the
// portal offers one. Made and ended on any thread; calls block while the desktop answers.
class PortalSession {
 public:
  // Nothing, with the reason in `error` and `why`, when the user declines, the dialog is
  // cancelled, or the portal cannot make the session.
  // `beforeDialog` runs first when the desktop is going to show its dialog (no permission to
  // restore), to tell the user what it will ask.
  static std::unique_ptr<PortalSession> start(std::shared_ptr<SessionBus> bus,
                                              PortalSources sources, const PortalTokens& tokens,
                                              const std::function<void()>& beforeDialog,
                                              const HostLogSink& log, std::error_code& error,
                                              std::string& why);
  ~PortalSession();
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  const std::vector<PortalStream>& streams() const { return streams_; }
  // Whether the portal persists sessions: a stored token starts a later one without a dialog.
  bool persists() const { return persists_; }
  // The desktop closed the session (the user stopped sharing, or the portal went away).
  bool ended() const { return ended_; }
  // A connection of its own to the PipeWire daemon behind the session's nodes, for the caller
  // to own; -1, with the reason in `why`, when the portal gives none.
  int openPipeWireRemote(std::string& why);
  // The desktop's clipboard, where the portal has one and gave it to this session (the
  // monitors'); nothing otherwise, or once the session ended.
  SessionClipboard* clipboard();
  // One of the remote desktop's Notify calls: `arguments` follow the session and the options.
  bool notify(const char* member, const std::function<int(sd_bus_message*)>& arguments);

 private:
  PortalSession(std::shared_ptr<SessionBus> bus, std::string session);
  struct Request;
  static bool ask(SessionBus& bus, const char* interface, const char* member, Request& request,
                  std::error_code& error, std::string& why);

  const std::shared_ptr<SessionBus> bus_;
  std::string session_;  // the portal's session object
  std::vector<PortalStream> streams_;
  bool persists_ = false;
  std::atomic<bool> ended_{false};
  std::shared_ptr<void> closedSignal_;
  std::unique_ptr<SessionClipboard> clipboard_;
};

}  // namespace tavelin::wayland
