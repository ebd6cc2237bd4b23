#include "TavelinHost/Capture/TavelinVirtualDisplay.hpp"

namespace tavelin {

VirtualDisplayRequest TavelinVirtualDisplay::request(std::uint32_t width, std::uint32_t height,
                                                     const std::string& name) {
  return {width, height, width * millimetresPerPixel, height * millimetresPerPixel,
          name.empty() ? "Tavelin" : name};
}

std::unique_ptr<TavelinVirtualDisplay> TavelinVirtualDisplay::create(
    VirtualDisplayPlatform& platform, std::uint32_t width, std::uint32_t height,
    const std::string& name) {
  if (width < 2 || height < 2 || !platform.isSupported()) return nullptr;
  auto backing = platform.create(request(width, height, name));
  if (!backing || backing->displayID() == 0) return nullptr;
  return std::make_unique<TavelinVirtualDisplay>(std::move(backing), width, height);
}

}  // namespace tavelin
