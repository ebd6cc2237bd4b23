#include "TavelinHost/Platform/Wayland/WaylandPlatform.hpp"

#include <cstdlib>

#include "TavelinHost/Platform/Wayland/MutterDesktop.hpp"
#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "TavelinHost/Platform/Wayland/MutterRemoteDesktop.hpp"
#include "TavelinHost/Platform/Wayland/MutterVirtualDisplay.hpp"
#include "TavelinHost/Platform/Wayland/PortalDesktop.hpp"
#include "TavelinHost/Platform/Wayland/SessionBus.hpp"
#include "TavelinHost/Platform/Wayland/SessionClipboard.hpp"
#include "TavelinHost/Platform/Wayland/SwayIpc.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsCapture.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsConnection.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsDesktop.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsInput.hpp"

namespace tavelin::wayland {

const char* nameOf(Backend backend) {
  switch (backend) {
    case Backend::portal: return "portal";
    case Backend::mutter: return "mutter";
    case Backend::wlroots: return "wlroots";
  }
  return "";
}

std::optional<Backend> backendNamed(const std::string& name) {
  for (const Backend backend : {Backend::portal, Backend::mutter, Backend::wlroots}) {
    if (name == nameOf(backend)) return backend;
  }
  return std::nullopt;
}

BackendChoice chooseBackend(std::optional<Backend> requested, bool preferMutter,
                            const Offers& offers) {
  const bool portal = offers.portalScreenCast && offers.portalRemoteDesktop;
  if (requested) {
    switch (*requested) {
      case Backend::mutter:
        if (offers.mutter) return {Backend::mutter, {}};
        return {std::nullopt,
                "Mutter's screen cast and remote desktop interfaces are not on the session bus "
                "(they come with GNOME)"};
      case Backend::portal:
        if (portal) return {Backend::portal, {}};
        return {std::nullopt, offers.portalScreenCast
                                  ? "the desktop portal offers screen casts but no remote "
                                    "desktop, so phones could not control this desktop"
                                  : "no desktop portal with screen casts on the session bus"};
      case Backend::wlroots:
        if (offers.wlroots) return {Backend::wlroots, {}};
        return {std::nullopt,
                "the compositor offers no wlroots screencopy, virtual pointer and virtual "
                "keyboard (they come with sway and other wlroots compositors)"};
    }
  }
  if (preferMutter && offers.mutter) return {Backend::mutter, {}};
  if (offers.wlroots) return {Backend::wlroots, {}};
  if (portal) return {Backend::portal, {}};
  if (offers.mutter) return {Backend::mutter, {}};
  return {std::nullopt,
          "this Wayland session offers neither the desktop portals for screen casts and remote "
          "desktops, nor Mutter's own interfaces, nor the wlroots protocols"};
}

namespace {

Offers probe(SessionBus& bus) {
  Offers offers;
  offers.mutter =
      bus.hasOwner("org.gnome.Mutter.ScreenCast") && bus.hasOwner("org.gnome.Mutter.RemoteDesktop");
  if (bus.hasOwner("org.freedesktop.portal.Desktop")) {
    const char* portal = "org.freedesktop.portal.Desktop";
    const char* path = "/org/freedesktop/portal/desktop";
    offers.portalScreenCast = bus.offers(portal, path, "org.freedesktop.portal.ScreenCast");
    offers.portalRemoteDesktop = bus.offers(portal, path, "org.freedesktop.portal.RemoteDesktop");
  }
  return offers;
}

std::optional<PlatformServices> openMutter(const std::shared_ptr<SessionBus>& bus,
                                           std::string& why) {
  PlatformServices services;
  const HostLogSink log = services.log->sink();
  auto displays = std::make_shared<MutterDisplays>(bus);
  auto input = MutterRemoteDesktop::open(bus, displays, log, why);
  if (!input) return std::nullopt;
  services.capture = std::make_shared<MutterCaptureService>(bus, displays, log);
  services.windows = std::make_shared<MutterWindowServer>(displays);
  services.applications = std::make_shared<WaylandApplications>();
  services.windowControl = std::make_shared<UntrustedWindowControl>();
  services.poster = std::move(input);
  services.virtualDisplays = std::make_shared<MutterVirtualDisplays>(bus, displays, log);
  services.virtualDisplayNote =
      "Experimental. A virtual monitor of GNOME's screen cast, beside your screens. GNOME does "
      "not let Tavelin move other applications' windows: drag a window onto it yourself.";
  services.noWindowMoves =
      "GNOME does not let Tavelin move other applications' windows. Drag the window onto the "
      "virtual display yourself: it lies beside your screens.";
  // A Wayland client cannot position its windows or keep them above others.
  services.placesOverlays = false;
  services.noWindows =
      "GNOME does not show Tavelin other applications' windows, and without the desktop's dialog "
      "there is no window chooser either. To share a window, turn off \u201COn GNOME, share "
      "without the desktop's dialog\u201D in Settings and start Tavelin again.";
  services.name =
      "Wayland, GNOME through Mutter's screen cast and remote desktop (no dialog); GNOME does "
      "not let Tavelin list, raise or move other applications' windows, so screen and region "
      "portals only";
  return services;
}

std::optional<PlatformServices> openPortal(const std::shared_ptr<SessionBus>& bus,
                                           const WaylandOptions& options, std::string& why) {
  PlatformServices services;
  auto desktop = std::make_shared<PortalDesktop>(bus, options.portalTokens,
                                                 options.beforePortalDialog, services.log->sink());
  std::error_code error;
  const auto session = desktop->session(error, why);
  if (!session) return std::nullopt;
  services.capture = std::make_shared<PortalCaptureService>(desktop);
  services.windows = std::make_shared<PortalWindowServer>(desktop);
  services.applications = std::make_shared<WaylandApplications>();
  services.windowControl = std::make_shared<UntrustedWindowControl>();
  services.poster = std::make_shared<PortalRemoteDesktop>(desktop);
  services.noWindowMoves =
      "The desktop portal does not let Tavelin move other applications' windows.";
  services.chooseWindow = [desktop](std::string& reason) -> std::optional<std::uint32_t> {
    std::error_code failure;
    const auto window = desktop->chooseWindow(failure, reason);
    return window ? std::optional(window->windowID) : std::nullopt;
  };
  services.name =
      std::string(
          "Wayland through the desktop portal (the desktop's own dialog allowed sharing "
          "the screen and controlling the pointer and keyboard); windows are chosen in "
          "the desktop's own window chooser, as the portal does not let Tavelin list, "
          "raise or move other applications' windows") +
      (desktop->clipboard() ? "; the clipboard goes both ways through the portal"
                            : ", and as this portal offers no clipboard, characters beyond the "
                              "keyboard layout cannot be typed and the clipboard is not shared");
  return services;
}

PlatformServices openWlroots(const std::shared_ptr<WlrootsConnection>& compositor) {
  PlatformServices services;
  const HostLogSink log = services.log->sink();
  std::shared_ptr<SwayIpc> sway;
  if (const char* socket = std::getenv("SWAYSOCK"); socket && *socket) {
    std::string noSway;
    sway = SwayIpc::connect(socket, noSway);
    if (!sway) log("Host", "Window error: sway's IPC does not answer (" + noSway + ")");
  }
  auto windows = std::make_shared<WlrootsWindowServer>(compositor, sway);
  services.capture = std::make_shared<WlrootsCaptureService>(compositor, windows, log);
  services.windows = windows;
  services.poster = std::make_shared<WlrootsInput>(compositor, log);
  if (sway) {
    services.applications = std::make_shared<SwayApplications>(sway, windows);
    services.windowControl = std::make_shared<SwayWindowControl>(sway, windows);
    services.virtualDisplays = std::make_shared<SwayVirtualDisplays>(sway, compositor, log);
    services.virtualDisplayNote =
        "Experimental. A headless output of sway's, beside your screens. sway cannot remove it "
        "again: it stays until sway ends, and the next virtual display uses it again.";
    services.windowCaptureNote =
        "On this desktop a window is shared as the part of the screen where it lies: whatever "
        "covers it shows too, and it cannot be seen while it is on another workspace.";
  } else {
    services.applications = std::make_shared<WaylandApplications>();
    services.windowControl = std::make_shared<UntrustedWindowControl>();
    services.noWindows =
        "This compositor does not tell Tavelin where other applications' windows are (only "
        "sway does, through its IPC), so windows cannot be shared here: share a screen or a "
        "region of it.";
    services.noWindowMoves =
        "This compositor does not let Tavelin move other applications' "
        "windows.";
  }
  services.placesOverlays = false;
  services.name = sway ? "Wayland, sway through the wlroots protocols (screencopy, virtual pointer "
                         "and keyboard) and sway's IPC (no dialog); a window is shared as the "
                         "part of the screen where it lies, so what covers it shows too"
                       : "Wayland, a wlroots compositor through its protocols (screencopy, "
                         "virtual pointer and keyboard; no dialog); without sway's IPC there "
                         "is no window list, so screen and region portals only";
  return services;
}

}  // namespace

std::optional<PlatformServices> openPlatform(const WaylandOptions& options, std::string& why) {
  // wlroots compositors need no session bus; the others speak only through one.
  std::string noCompositor, noBus;
  auto compositor = WlrootsConnection::connect(noCompositor);
  const auto bus = SessionBus::open(noBus);
  Offers offers = bus ? probe(*bus) : Offers{};
  offers.wlroots = compositor && compositor->offersScreencopy() &&
                   compositor->offersVirtualPointer() && compositor->offersVirtualKeyboard();
  const BackendChoice choice = chooseBackend(options.backend, options.preferMutter, offers);
  if (!choice.backend) {
    why = !bus && !compositor ? noBus : choice.reason;
    return std::nullopt;
  }
  switch (*choice.backend) {
    case Backend::mutter: return openMutter(bus, why);
    case Backend::portal: return openPortal(bus, options, why);
    case Backend::wlroots: return openWlroots(compositor);
  }
  return std::nullopt;
}

}  // namespace tavelin::wayland
