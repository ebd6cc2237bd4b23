#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The port for an extra display that exists only in software: windows can be parked there and
// shared from there. An adapter per desktop system provides it where the system allows.
namespace tavelin {

// Keeps a virtual display in existence; destroying it removes the display.
class VirtualDisplayBacking {
 public:
  virtual ~VirtualDisplayBacking() = default;
  virtual std::uint32_t displayID() const = 0;
};

struct VirtualDisplayRequest {
  std::uint32_t widthPixels = 0;
  std::uint32_t heightPixels = 0;
  double widthMillimeters = 0;
  double heightMillimeters = 0;
  std::string name;
};

class VirtualDisplayPlatform {
 public:
  virtual ~VirtualDisplayPlatform() = default;
  virtual bool isSupported() = 0;
  // Nothing when the display cannot be made.
  virtual std::unique_ptr<VirtualDisplayBacking> create(const VirtualDisplayRequest& request) = 0;
};

}  // namespace tavelin
