#pragma once

#include <functional>
#include <optional>
#include <string>

#include "TavelinHost/Main/PlatformChoice.hpp"
#include "TavelinHost/Platform/PlatformServices.hpp"
#include "TavelinHost/Platform/Wayland/PortalSession.hpp"
#include "TavelinKit/Foundation/DataFolder.hpp"

// The one place the host is put together: the platform's adapters for this session, the
// services over them, and the front end that runs them.
namespace tavelin {

// The adapters of the chosen platform; nothing, with the reason in `why`, when they cannot be
// had. A new platform is one more case here.
// `beforeDialog` runs when a desktop is about to ask the user for permission with its own
// dialog, to say first what it will ask.
std::optional<PlatformServices> openPlatform(const PlatformChoice& choice, std::string& why,
                                             std::function<void()> beforeDialog = {});

// The desktop portal's restore tokens as the host keeps them, in its data folder.
wayland::PortalTokenStore portalTokens(const StoredFile& file);

// `tavelin`: the window on this desktop, or with --headless the line protocol on stdin/stdout.
int runHost(int argc, char** argv);
// `tavelin-demo`: synthetic portals, or with --desktop real ones (see DemoDesktop).
int runDemo(int argc, char** argv);

}  // namespace tavelin
