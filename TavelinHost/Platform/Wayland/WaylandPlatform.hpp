#pragma once

#include <functional>
#include <optional>
#include <string>

#include "TavelinHost/Platform/PlatformServices.hpp"
#include "TavelinHost/Platform/Wayland/PortalSession.hpp"

namespace tavelin::wayland {

// The ways into a Wayland desktop: the desktop portals (GNOME, KDE: the desktop asks the user),
// Mutter's own screen cast and remote desktop interfaces (GNOME without a dialog), and the
// wlroots protocols (sway and its kin).
enum class Backend { portal, mutter, wlroots };

const char* nameOf(Backend backend);
std::optional<Backend> backendNamed(const std::string& name);

// What the session offers, as found on its bus and display.
struct Offers {
  bool mutter = false;               // org.gnome.Mutter.ScreenCast and .RemoteDesktop
  bool portalScreenCast = false;     // org.freedesktop.portal.ScreenCast
  bool portalRemoteDesktop = false;  // org.freedesktop.portal.RemoteDesktop
  // The compositor's screencopy, virtual pointer and virtual keyboard globals (wlroots).
  bool wlroots = false;
};

struct BackendChoice {
  std::optional<Backend> backend;
  std::string reason;  // why none, when none
};

// The backend to run: the one asked for when the session offers it; else Mutter's interfaces
// when the user prefers them and they are there; else the wlroots protocols (no dialog, and
// complete where offered), the portals, Mutter's interfaces, in that order. Built from what is
// there, never from the desktop's name alone.
BackendChoice chooseBackend(std::optional<Backend> requested, bool preferMutter,
                            const Offers& offers);

struct WaylandOptions {
  std::optional<Backend> backend;  // asked for by name
  bool preferMutter = false;       // the user's setting: GNOME without the portal's dialog
  PortalTokenStore portalTokens;   // where the portal sessions' restore tokens are kept
  std::function<void()> beforePortalDialog;  // tells the user what the desktop will ask
};

// The Wayland adapters of every port on this session, named for the log by which backend runs
// and what it cannot do; nothing, with the reason in `why`, when no backend can run. On the
// portals this asks the desktop for its session (its dialog, or a restored permission).
std::optional<PlatformServices> openPlatform(const WaylandOptions& options, std::string& why);

}  // namespace tavelin::wayland
