#include "TavelinHost/Platform/Wayland/FrameAssembler.hpp"

#include <algorithm>
#include <vector>

namespace tavelin::wayland {

namespace {

PixelRect overlap(const PixelRect& a, const PixelRect& b) {
  const std::int64_t left = std::max(a.x, b.x), top = std::max(a.y, b.y);
  const std::int64_t right = std::min(a.right(), b.right()),
                     bottom = std::min(a.bottom(), b.bottom());
  if (right <= left || bottom <= top) return PixelRect::empty;
  return {left, top, right - left, bottom - top};
}

std::string text(const PixelRect& r) {
  return std::to_string(r.width) + "x" + std::to_string(r.height) + " at " + std::to_string(r.x) +
         "," + std::to_string(r.y);
}

// Draws the premultiplied BGRA cursor over BGRA pixels: d = s + d·(255 − a)/255.
void drawCursor(std::uint8_t* pixels, int width, int height, int left, int top,
                const NodeCursor& cursor) {
  for (int row = std::max(0, -top); row < cursor.height && top + row < height; ++row) {
    for (int column = std::max(0, -left); column < cursor.width && left + column < width;
         ++column) {
      const std::uint8_t* s =
          cursor.image.data() + (static_cast<std::size_t>(row) * cursor.width + column) * 4;
      const std::uint32_t alpha = s[3];
      if (alpha == 0) continue;
      std::uint8_t* d =
          pixels + (static_cast<std::size_t>(top + row) * width + (left + column)) * 4;
      for (int channel = 0; channel < 3; ++channel) {
        d[channel] = static_cast<std::uint8_t>(
            std::min<std::uint32_t>(255, s[channel] + d[channel] * (255 - alpha) / 255));
      }
    }
  }
}

}  // namespace

// Picture memory for samples: a handful of buffers, each lent to one sample at a time and
// returned when the last copy of that sample is gone. Handing back goes through the lock, so
// whatever read a buffer is done before the next picture is written into it.
class FrameAssembler::Pool : public std::enable_shared_from_this<Pool> {
 public:
  // Null when every buffer is out: the output is that far behind, and the picture is dropped.
  std::shared_ptr<std::uint8_t> lend(std::size_t bytes) {
    std::lock_guard guard(lock_);
    auto slot = std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.lent; });
    if (slot == slots_.end()) {
      if (slots_.size() >= maxBuffers) return nullptr;
      slot =
          slots_.insert(slots_.end(), Slot{std::make_shared<std::vector<std::uint8_t>>(), false});
    }
    if (slot->bytes->size() < bytes) slot->bytes->resize(bytes);
    slot->lent = true;
    return std::shared_ptr<std::uint8_t>(
        slot->bytes->data(), [pool = weak_from_this(), bytes = slot->bytes](std::uint8_t*) {
          if (auto owner = pool.lock()) owner->giveBack(bytes.get());
        });
  }

 private:
  void giveBack(const std::vector<std::uint8_t>* bytes) {
    std::lock_guard guard(lock_);
    for (auto& slot : slots_) {
      if (slot.bytes.get() == bytes) slot.lent = false;
    }
  }

  static constexpr std::size_t maxBuffers = 6;
  struct Slot {
    std::shared_ptr<std::vector<std::uint8_t>> bytes;  // also held by the sample while lent
    bool lent;
  };
  std::mutex lock_;
  std::vector<Slot> slots_;  // guarded by lock_
};

FrameAssembler::FrameAssembler(StreamConfiguration configuration, const ContentFilter& filter,
                               HostLogSink log)
    : log_(std::move(log)), pool_(std::make_shared<Pool>()) {
  settings_.configuration = configuration;
  settings_.pointPixelScale = filter.pointPixelScale;
  settings_.contentWidth = filter.contentRect.width;
}

void FrameAssembler::setOutput(SerialQueue queue,
                               std::function<void(const CaptureSample&)> output) {
  std::lock_guard guard(lock_);
  settings_.queue.emplace(std::move(queue));
  settings_.output = std::move(output);
}

void FrameAssembler::setConfiguration(const StreamConfiguration& configuration) {
  std::lock_guard guard(lock_);
  settings_.configuration = configuration;
  reconfigured_ = true;
  shown_.reset();
}

void FrameAssembler::setFilter(const ContentFilter& filter) {
  std::lock_guard guard(lock_);
  settings_.pointPixelScale = filter.pointPixelScale;
  settings_.contentWidth = filter.contentRect.width;
  reconfigured_ = true;
  shown_.reset();
}

void FrameAssembler::restart() {
  std::lock_guard guard(lock_);
  restarted_ = true;
  shown_.reset();
}

bool FrameAssembler::repeat() {
  Settings settings;
  std::optional<CaptureSample> sample;
  {
    std::lock_guard guard(lock_);
    settings = settings_;
    sample = shown_;
  }
  if (!sample || !settings.queue || !settings.output) return false;
  deliver(settings, std::move(*sample));
  return true;
}

std::optional<FrameAssembler::Clock::time_point> FrameAssembler::offer(const NodeFrame& frame,
                                                                       Clock::time_point now) {
  Settings settings;
  {
    std::lock_guard guard(lock_);
    settings = settings_;
    if (std::exchange(restarted_, false)) {
      nextTurn_ = {};
      shownPointer_.reset();
      logged_.clear();
      fresh_ = true;
    }
    if (std::exchange(reconfigured_, false)) fresh_ = true;
  }
  const StreamConfiguration& configuration = settings.configuration;
  std::optional<Pointer> pointer;
  if (configuration.showsCursor && frame.cursor != nullptr)
    pointer = Pointer{frame.cursor->x, frame.cursor->y, frame.cursor->serial};
  const bool changed = fresh_ || frame.damaged || pointer != shownPointer_;
  if (now < nextTurn_) return changed ? std::optional(nextTurn_) : std::nullopt;
  if (!settings.queue || !settings.output) return std::nullopt;
  // Strictly one interval after the last sample: a turn served late pushes the next one back.
  nextTurn_ = now + std::max(configuration.minimumFrameInterval, std::chrono::microseconds(0));
  if (!changed) {
    CaptureSample idle;
    idle.isValid = true;
    idle.status = FrameStatus::idle;
    deliver(settings, std::move(idle));
    return std::nullopt;
  }
  if (auto sample = picture(frame, settings)) {
    fresh_ = false;
    shownPointer_ = pointer;
    {
      std::lock_guard guard(lock_);
      // Not when the configuration changed meanwhile: this picture is of the old one.
      if (!reconfigured_ && !restarted_) shown_ = *sample;
    }
    deliver(settings, std::move(*sample));
  }
  return std::nullopt;
}

std::optional<CaptureSample> FrameAssembler::picture(const NodeFrame& frame,
                                                     const Settings& settings) {
  if (frame.data == nullptr || frame.width < 1 || frame.height < 1 ||
      frame.stride < frame.width * 4) {
    problem("PipeWire: a buffer of " + std::to_string(frame.width) + "x" +
            std::to_string(frame.height) + " pixels has rows of " + std::to_string(frame.stride) +
            " bytes");
    return std::nullopt;
  }
  const std::size_t needed =
      static_cast<std::size_t>(frame.height - 1) * static_cast<std::size_t>(frame.stride) +
      static_cast<std::size_t>(frame.width) * 4;
  if (frame.size < needed) {
    problem("PipeWire: a buffer holds " + std::to_string(frame.size) + " bytes, its " +
            std::to_string(frame.width) + "x" + std::to_string(frame.height) + " picture needs " +
            std::to_string(needed));
    return std::nullopt;
  }
  const PixelRect whole{0, 0, frame.width, frame.height};
  PixelRect content = whole;
  if (frame.crop) {
    content = overlap(*frame.crop, whole);
    if (content != *frame.crop) {
      problem("PipeWire: the crop " + text(*frame.crop) + " reaches outside the buffer of " +
              text(whole) + "; only the part inside is shown");
    }
    if (content.isEmpty()) return std::nullopt;
  }
  if (contentSized_ &&
      (content.width != contentSeen_.width || content.height != contentSeen_.height)) {
    contentSeen_ = content;
    contentSized_(static_cast<int>(content.width), static_cast<int>(content.height));
  }
  double scale = settings.pointPixelScale;
  if (scale <= 0) {
    scale =
        settings.contentWidth > 0 ? static_cast<double>(content.width) / settings.contentWidth : 1;
  }
  PixelRect part = content;
  if (const auto& source = settings.configuration.sourceRect) {
    part = overlap({content.x + roundToInteger(scale * source->x),
                    content.y + roundToInteger(scale * source->y),
                    roundToInteger(scale * source->width), roundToInteger(scale * source->height)},
                   content);
    if (part.isEmpty()) {
      problem("PipeWire: the source rectangle " + source->description() +
              " lies outside the content of " + text(content));
      return std::nullopt;
    }
  }
  const auto width = static_cast<int>(part.width), height = static_cast<int>(part.height);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  const std::size_t bytes = rowBytes * static_cast<std::size_t>(height);
  auto memory = pool_->lend(bytes);
  if (!memory) return std::nullopt;
  const std::uint8_t* from =
      frame.data + static_cast<std::size_t>(part.y) * static_cast<std::size_t>(frame.stride) +
      static_cast<std::size_t>(part.x) * 4;
  for (int row = 0; row < height; ++row) {
    toBgra(frame.layout, from + static_cast<std::size_t>(row) * frame.stride,
           memory.get() + static_cast<std::size_t>(row) * rowBytes,
           static_cast<std::size_t>(width));
  }
  const NodeCursor* cursor = frame.cursor;
  if (settings.configuration.showsCursor && cursor != nullptr && !cursor->image.empty()) {
    drawCursor(memory.get(), width, height, cursor->x - cursor->hotX - static_cast<int>(part.x),
               cursor->y - cursor->hotY - static_cast<int>(part.y), *cursor);
  }
  CaptureSample sample;
  sample.isValid = true;
  sample.status = FrameStatus::complete;
  sample.scaleFactor = scale;
  sample.contentRect = {0, 0, width / scale, height / scale};
  sample.pixels = PixelBuffer{width, height, static_cast<int>(rowBytes), std::move(memory), bytes};
  return sample;
}

void FrameAssembler::deliver(const Settings& settings, CaptureSample sample) {
  const int depth = std::max(1, settings.configuration.queueDepth);
  // Samples the output has not taken yet are capped; beyond that, new ones are dropped.
  if (waiting_.load() >= depth) return;
  ++waiting_;
  settings.queue->async(
      [self = shared_from_this(), output = settings.output, sample = std::move(sample)] {
        output(sample);
        --self->waiting_;
      });
}

void FrameAssembler::problem(const std::string& message) {
  // Each problem once a connection, and only a few kinds: a node gone wrong must not flood.
  if (log_ && logged_.size() < 16 && logged_.insert(message).second) log_("Capture", message);
}

}  // namespace tavelin::wayland
