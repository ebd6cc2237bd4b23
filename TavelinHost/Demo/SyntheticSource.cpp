#include "TavelinHost/Demo/SyntheticSource.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

namespace tavelin {

namespace {

constexpr int sourceWidth = 1280, sourceHeight = 720;

// The picture size for the 1280 × 720 source under the longest-side limit.
PixelSize pictureSize(int maxFrameDimension) {
  if (maxFrameDimension <= 0 || sourceWidth <= maxFrameDimension) {
    return {sourceWidth, sourceHeight};
  }
  const auto height = std::max<std::int64_t>(
      1, std::lround(sourceHeight * static_cast<double>(maxFrameDimension) / sourceWidth));
  return {maxFrameDimension, height};
}

std::string clockText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string describe(const ScreenPoint& at) {
  return std::to_string(roundToInteger(at.x)) + "," + std::to_string(roundToInteger(at.y));
}

}  // namespace

SyntheticCaptureSource::SyntheticCaptureSource(std::string name, std::uint8_t hue,
                                               const PictureSettings& settings)
    : name_(std::move(name)),
      settings_(settings),
      picture_(static_cast<int>(pictureSize(settings.maxFrameDimension).width),
               static_cast<int>(pictureSize(settings.maxFrameDimension).height), hue) {}

PortalCaptureState SyntheticCaptureSource::state() const {
  std::lock_guard guard(lock_);
  return state_;
}

PixelSize SyntheticCaptureSource::sourceSize() const {
  std::lock_guard guard(lock_);
  return size_;
}

void SyntheticCaptureSource::publish(PortalCaptureState next) {
  {
    std::lock_guard guard(lock_);
    if (state_ == next) return;
    state_ = next;
  }
  if (onStateChange) onStateChange(next);
}

void SyntheticCaptureSource::start() {
  queue_.async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->timer_.isActive()) return;
    self->publish(PortalCaptureState::starting);
    const int fps = std::clamp(self->settings_.targetFps, 1, 60);
    self->timer_ =
        self->queue_.scheduleRepeating(std::chrono::microseconds(1'000'000 / fps), [weak] {
          if (auto source = weak.lock()) source->tick();
        });
    self->publish(PortalCaptureState::capturing);
  });
}

void SyntheticCaptureSource::stop() {
  queue_.async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->timer_.isActive()) return;
    self->timer_.cancel();
    self->publish(PortalCaptureState::idle);
  });
}

void SyntheticCaptureSource::tick() {
  if (!timer_.isActive()) return;
  if (frameGate && !frameGate()) return;  // nobody watches: no work at all
  const auto& pixels =
      picture_.render(frame_, name_ + "  FRAME " + std::to_string(frame_) + "  " + clockText());
  ++frame_;
  const PixelSize size{picture_.width(), picture_.height()};
  const auto views = wantedViews();
  auto frames = encoder_.encodeViews(
      pixels.data(), picture_.stride(), {0, 0, size.width, size.height}, size, views,
      wantedQuality(settings_.jpegQuality), std::chrono::system_clock::now());
  bool resized = false;
  {
    std::lock_guard guard(lock_);
    resized = size_ != size;
    size_ = size;
  }
  if (resized && onSourceSizeChange) onSourceSizeChange(size);
  if (onFrame) {
    for (const auto& frame : frames) onFrame(frame);
  }
}

PortalSource SyntheticSourceFactory::make(const Portal& portal) const {
  // Colours from the portal's id, so each demo portal looks different and always the same.
  const auto hue = static_cast<std::uint8_t>(std::hash<std::string>{}(portal.id.string()));
  ScreenRect area{0, 0, sourceWidth, sourceHeight};
  if (const auto* region = std::get_if<ScreenRegionPortalData>(&portal.payload.value)) {
    area = region->region;
  }
  return {std::make_shared<SyntheticCaptureSource>(portal.name, hue, settings_),
          std::make_shared<ScreenRegionCoordinateMapper>(area)};
}

bool DescribingEventPoster::announce(bool posted, const std::string& line) {
  if (!posted) return false;
  if (!inner_) {
    emit_(line);
  } else {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    emit_(line + " t=" + std::to_string(now.count()));
  }
  return true;
}

bool DescribingEventPoster::mouse(MouseEventType type, const ScreenPoint& at, int button,
                                  int clickState) {
  const int value = static_cast<int>(type);
  {
    std::lock_guard guard(lock_);
    if (value == 1 || value == 3 || value == 25) held_ |= 1u << button;
    if (value == 2 || value == 4 || value == 26) held_ &= ~(1u << button);
  }
  const bool posted = !inner_ || inner_->mouse(type, at, button, clickState);
  return announce(posted, "EVENT mouse " + std::to_string(value) + " b" + std::to_string(button) +
                              " c" + std::to_string(clickState) + " @" + describe(at));
}

bool DescribingEventPoster::scrollWheel(std::int32_t vertical, std::int32_t horizontal,
                                        ScrollCarry& carry) {
  const bool posted = !inner_ || inner_->scrollWheel(vertical, horizontal, carry);
  return announce(posted,
                  "EVENT wheel " + std::to_string(vertical) + " " + std::to_string(horizontal));
}

bool DescribingEventPoster::keyPress(std::uint16_t virtualKey) {
  const bool posted = !inner_ || inner_->keyPress(virtualKey);
  return announce(posted, "EVENT key " + std::to_string(virtualKey));
}

bool DescribingEventPoster::modifierKey(std::uint16_t virtualKey, bool down) {
  const bool posted = !inner_ || inner_->modifierKey(virtualKey, down);
  return announce(posted, std::string("EVENT modifier ") + (down ? "down " : "up ") +
                              std::to_string(virtualKey));
}

bool DescribingEventPoster::setClipboard(std::string_view utf8) {
  const bool posted = !inner_ || inner_->setClipboard(utf8);
  return announce(posted, "EVENT clipboard " + std::to_string(utf8.size()));
}

bool DescribingEventPoster::typeUnits(std::u16string_view units) {
  const bool posted = !inner_ || inner_->typeUnits(units);
  return announce(posted, "EVENT text " + std::to_string(units.size()));
}

bool DescribingEventPoster::isButtonDown(int button) {
  if (inner_) return inner_->isButtonDown(button);
  std::lock_guard guard(lock_);
  return (held_ & (1u << button)) != 0;
}

}  // namespace tavelin
