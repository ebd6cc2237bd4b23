#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Demo/DemoHost.hpp"
#include "TavelinHost/Platform/PlatformServices.hpp"
#include "TavelinKit/Model/PictureSettings.hpp"

namespace tavelin {

// The real desktop's portals for the demo host, from its arguments after --desktop:
//   --window <title>          an application window with that title
//   --region <x>,<y>,<w>,<h>  a screen region
// Nothing (with a LOG line said) when a window is missing or a region is malformed.
std::optional<DemoHost::Desktop> demoDesktop(const PlatformServices& platform,
                                             const std::vector<std::string>& arguments,
                                             const PictureSettings& pictures,
                                             const DemoHost::Emit& emit);

}  // namespace tavelin
