#include "TavelinHost/Capture/WindowStill.hpp"

#include <cstring>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"

namespace tavelin {

namespace {

// Everything one still capture shares between the stream's callbacks and its timers; touched
// only on `queue`.
struct Still : std::enable_shared_from_this<Still> {
  SerialQueue queue{"tavelin.capture.still"};
  std::shared_ptr<Executor> mainExecutor;
  std::function<void(std::optional<LiveDisplayPreview::Image>)> done;
  std::optional<LiveDisplayPreview::Image> newest;
  bool finished = false;
  std::shared_ptr<CaptureStream> stream;

  // On `queue`.
  void finish() {
    if (finished) return;
    finished = true;
    if (auto running = std::exchange(stream, nullptr)) running->stop({});
    mainExecutor->post([done = std::move(done), image = std::move(newest)] { done(image); });
  }

  // On `queue`.
  void take(const CaptureSample& sample) {
    if (finished || !sample.isValid || !sample.pixels || !sample.pixels->data) return;
    const PixelBuffer& buffer = *sample.pixels;
    if (buffer.width < 1 || buffer.height < 1 || buffer.stride < buffer.width * 4 ||
        buffer.size < static_cast<std::size_t>(buffer.stride) * (buffer.height - 1) +
                          static_cast<std::size_t>(buffer.width) * 4) {
      return;
    }
    const int rowBytes = buffer.width * 4;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(rowBytes) *
                                                              buffer.height);
    for (int y = 0; y < buffer.height; ++y) {
      std::memcpy(pixels->data() + static_cast<std::size_t>(y) * rowBytes,
                  buffer.data.get() + static_cast<std::size_t>(y) * buffer.stride, rowBytes);
    }
    const bool first = !newest;
    newest = LiveDisplayPreview::Image{{buffer.width, buffer.height}, rowBytes, std::move(pixels)};
    if (first) {
      queue.asyncAfter(WindowStill::settle, [self = shared_from_this()] { self->finish(); });
    }
  }
};

}  // namespace

void WindowStill::capture(std::shared_ptr<ScreenCaptureService> service, std::uint32_t windowID,
                          std::shared_ptr<Executor> mainExecutor,
                          std::function<void(std::optional<LiveDisplayPreview::Image>)> done) {
  auto still = std::make_shared<Still>();
  still->mainExecutor = std::move(mainExecutor);
  still->done = std::move(done);
  const auto filter = service ? service->windowFilter(windowID) : std::nullopt;
  auto stream = filter ? service->makeStream(*filter, {}) : nullptr;
  if (!stream) {
    still->queue.async([still] { still->finish(); });
    return;
  }
  stream->addOutput(still->queue, [weak = std::weak_ptr<Still>(still)](const CaptureSample& s) {
    if (auto self = weak.lock()) self->take(s);
  });
  stream->onStoppedWithError = [still](std::error_code) {
    still->queue.async([still] { still->finish(); });
  };
  still->queue.asyncAfter(timeout, [still] { still->finish(); });
  stream->start([still, stream](std::error_code error) {
    if (error) {
      still->queue.async([still] { still->finish(); });
      return;
    }
    still->queue.async([still, stream] {
      if (still->finished) {
        stream->stop({});
        return;
      }
      still->stream = stream;
    });
  });
}

}  // namespace tavelin
