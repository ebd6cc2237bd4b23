#include "TavelinHost/Capture/LiveDisplayPreview.hpp"

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>

namespace tavelin {

LiveDisplayPreview::~LiveDisplayPreview() {
  if (stream_) stream_->stop({});
}

PixelSize LiveDisplayPreview::previewSize(double widthPoints, double heightPoints, double scale,
                                          int maxDimension) {
  double w = scale * widthPoints, h = scale * heightPoints;
  const double longest = std::max(w, h);
  if (maxDimension > 0 && longest > maxDimension) {
    w *= maxDimension / longest;
    h *= maxDimension / longest;
  }
  return {std::max<std::int64_t>(2, static_cast<std::int64_t>(w)),
          std::max<std::int64_t>(2, static_cast<std::int64_t>(h))};
}

void LiveDisplayPreview::start(std::uint32_t displayID, int fps, int maxDimension) {
  if (running_.exchange(true)) return;
  service_->shareableContent([weak = weak_from_this(), displayID, fps, maxDimension](
                                 std::optional<ShareableContent> content, std::error_code) {
    auto self = weak.lock();
    if (!self) return;
    const auto display =
        content ? std::find_if(content->displays.begin(), content->displays.end(),
                               [&](const ShareableDisplay& d) { return d.displayID == displayID; })
                : std::vector<ShareableDisplay>::iterator{};
    auto filter = content && display != content->displays.end()
                      ? self->service_->displayFilter(displayID, {})
                      : std::nullopt;
    if (!filter) {
      self->running_ = false;
      return;
    }
    StreamConfiguration configuration;
    configuration.showsCursor = true;
    configuration.queueDepth = 4;
    configuration.minimumFrameInterval =
        std::chrono::microseconds(1'000'000 / std::clamp(fps, 1, 60));
    const double scale = filter->pointPixelScale > 0 ? filter->pointPixelScale : 1.0;
    const PixelSize size =
        previewSize(display->frame.width, display->frame.height, scale, maxDimension);
    configuration.width = static_cast<int>(size.width);
    configuration.height = static_cast<int>(size.height);
    configuration.scalesToFit = true;
    auto stream = self->service_->makeStream(*filter, configuration);
    if (!stream) {
      self->running_ = false;
      return;
    }
    stream->onStoppedWithError = [weak](std::error_code) {
      if (auto owner = weak.lock()) {
        owner->running_ = false;
        std::lock_guard guard(owner->lock_);
        owner->stream_ = nullptr;
      }
    };
    stream->addOutput(self->frameQueue_, [weak](const CaptureSample& sample) {
      if (auto owner = weak.lock()) owner->deliver(sample);
    });
    {
      std::lock_guard guard(self->lock_);
      self->size_ = size;
    }
    stream->start([weak, stream](std::error_code error) {
      auto owner = weak.lock();
      if (!owner || error || !owner->running_) {
        stream->stop({});
        return;
      }
      std::lock_guard guard(owner->lock_);
      owner->stream_ = stream;
    });
  });
}

void LiveDisplayPreview::stop() {
  running_ = false;
  std::shared_ptr<CaptureStream> old;
  {
    std::lock_guard guard(lock_);
    old = std::exchange(stream_, nullptr);
  }
  if (old) old->stop({});
}

// The picture scaled to the preview's size (a desktop that hands over full-size pictures is
// scaled here), then handed to the main executor.
void LiveDisplayPreview::deliver(const CaptureSample& sample) {
  if (!running_ || !sample.isValid || !sample.pixels || !sample.pixels->data) return;
  const PixelBuffer& buffer = *sample.pixels;
  PixelSize size;
  {
    std::lock_guard guard(lock_);
    size = size_;
  }
  if (buffer.width < 1 || buffer.height < 1 || buffer.stride < buffer.width * 4) return;
  if (size.isEmpty()) size = {buffer.width, buffer.height};
  const int width = static_cast<int>(size.width), height = static_cast<int>(size.height);
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(width) *
                                                            static_cast<std::size_t>(height) * 4);
  if (libyuv::ARGBScale(buffer.data.get(), buffer.stride, buffer.width, buffer.height,
                        pixels->data(), width * 4, width, height, libyuv::kFilterBox) != 0) {
    return;
  }
  Image image{size, width * 4, std::move(pixels)};
  mainExecutor_->post([weak = weak_from_this(), image = std::move(image)] {
    auto self = weak.lock();
    if (self && self->running_ && self->onFrame) self->onFrame(image);
  });
}

}  // namespace tavelin
