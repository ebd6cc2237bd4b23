#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "TavelinHost/Platform/VirtualDisplayPlatform.hpp"

namespace tavelin {

// An extra display that exists only in software, for as long as this object lives.
class TavelinVirtualDisplay {
 public:
  static constexpr double millimetresPerPixel = 0.2588;  // about 98 pixels per inch

  // Nothing for sides below 2 pixels (without asking the platform), where the platform has no
  // virtual displays, or when it cannot make one. An empty name means "Tavelin".
  static std::unique_ptr<TavelinVirtualDisplay> create(VirtualDisplayPlatform& platform,
                                                       std::uint32_t width, std::uint32_t height,
                                                       const std::string& name);

  // What the platform is asked for, for those arguments.
  static VirtualDisplayRequest request(std::uint32_t width, std::uint32_t height,
                                       const std::string& name);

  const std::uint32_t displayID;
  const std::uint32_t widthPixels;
  const std::uint32_t heightPixels;

  TavelinVirtualDisplay(std::unique_ptr<VirtualDisplayBacking> backing, std::uint32_t width,
                        std::uint32_t height)
      : displayID(backing->displayID()),
        widthPixels(width),
        heightPixels(height),
        backing_(std::move(backing)) {}

 private:
  std::unique_ptr<VirtualDisplayBacking> backing_;
};

}  // namespace tavelin
