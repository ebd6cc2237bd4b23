#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "TavelinHost/Capture/FrameEncoder.hpp"
#include "TavelinHost/Demo/SyntheticPicture.hpp"
#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Model/PictureSettings.hpp"
#include "TavelinKit/Model/PortalCaptureSource.hpp"

namespace tavelin {

// A capture source without a desktop: a moving test picture, rendered and encoded at the
// settings' rate while the frame gate lets pictures through. Always held by a shared_ptr.
class SyntheticCaptureSource final : public PortalCaptureSource,
                                     public std::enable_shared_from_this<SyntheticCaptureSource> {
 public:
  SyntheticCaptureSource(std::string name, std::uint8_t hue, const PictureSettings& settings);

  PortalCaptureState state() const override;
  PixelSize sourceSize() const override;
  std::shared_ptr<const WindowGeometryProviding> geometryProvider() const override {
    return nullptr;
  }
  std::optional<WindowID> targetWindowID() const override { return std::nullopt; }
  std::string descriptionText() const override { return "synthetic picture " + name_; }
  void start() override;
  void stop() override;

 private:
  void tick();  // on queue_
  void publish(PortalCaptureState next);

  const std::string name_;
  const PictureSettings settings_;
  const SerialQueue queue_{"tavelin.capture.frames"};
  SyntheticPicture picture_;  // queue_ only
  FrameEncoder encoder_;      // queue_ only
  std::uint64_t frame_ = 0;   // queue_ only
  RepeatingTimer timer_;      // queue_ only
  mutable std::mutex lock_;
  PortalCaptureState state_ = PortalCaptureState::idle;  // guarded by lock_
  PixelSize size_;                                       // guarded by lock_
};

// Demo portals are screen regions of a 1280 × 720 picture; each gets its own colours.
class SyntheticSourceFactory final : public PortalSourceMaking {
 public:
  explicit SyntheticSourceFactory(PictureSettings settings) : settings_(settings) {}
  PortalSource make(const Portal& portal) const override;

 private:
  const PictureSettings settings_;
};

// Every event described to `emit` ("EVENT mouse 1 b0 c1 @x,y"). With a real poster behind it,
// the event is posted there first and the line ends with when, on the steady clock
// (" t=<microseconds>"); without one, the input has nowhere else to go.
class DescribingEventPoster final : public EventPoster {
 public:
  explicit DescribingEventPoster(std::function<void(const std::string&)> emit,
                                 std::shared_ptr<EventPoster> inner = nullptr)
      : emit_(std::move(emit)), inner_(std::move(inner)) {}
  bool mouse(MouseEventType type, const ScreenPoint& at, int button, int clickState) override;
  bool scrollWheel(std::int32_t vertical, std::int32_t horizontal, ScrollCarry& carry) override;
  bool keyPress(std::uint16_t virtualKey) override;
  bool modifierKey(std::uint16_t virtualKey, bool down) override;
  bool setClipboard(std::string_view utf8) override;
  bool typeUnits(std::u16string_view units) override;
  bool isButtonDown(int button) override;

 private:
  bool announce(bool posted, const std::string& line);

  const std::function<void(const std::string&)> emit_;
  const std::shared_ptr<EventPoster> inner_;
  std::mutex lock_;
  unsigned held_ = 0;  // guarded by lock_
};

}  // namespace tavelin
