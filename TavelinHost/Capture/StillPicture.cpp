#include "TavelinHost/Capture/StillPicture.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"

namespace tavelin {

namespace {

using StillPicture::Problem;
using StillPicture::Result;

// Everything one still capture shares between the stream's callbacks and its timers; touched
// only on `queue`.
struct Still : std::enable_shared_from_this<Still> {
  SerialQueue queue{"tavelin.capture.still"};
  std::shared_ptr<Executor> mainExecutor;
  std::function<void(Result)> done;
  std::chrono::milliseconds settle{0};
  std::optional<LiveDisplayPreview::Image> newest;
  bool finished = false;
  std::shared_ptr<CaptureStream> stream;

  // On `queue`. A picture, once there is one, outweighs whatever went wrong after it.
  void finish(Problem problem, std::error_code error = {}) {
    if (finished) return;
    finished = true;
    if (auto running = std::exchange(stream, nullptr)) running->stop({});
    Result result;
    if (newest) {
      result.image = std::move(newest);
    } else {
      result.problem = problem;
      result.error = error;
    }
    mainExecutor->post([done = std::move(done), result = std::move(result)]() mutable {
      done(std::move(result));
    });
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
    if (settle.count() <= 0) {
      finish(Problem::none);
    } else if (first) {
      queue.asyncAfter(settle, [self = shared_from_this()] { self->finish(Problem::none); });
    }
  }
};

}  // namespace

void StillPicture::capture(std::shared_ptr<ScreenCaptureService> service, Request request,
                           std::shared_ptr<Executor> mainExecutor,
                           std::function<void(Result)> done) {
  auto still = std::make_shared<Still>();
  still->mainExecutor = std::move(mainExecutor);
  still->done = std::move(done);
  still->settle = request.settle;
  if (!service || !service->isAvailable() || !service->preflightPermission()) {
    still->queue.async([still] { still->finish(Problem::unavailable); });
    return;
  }
  auto stream =
      request.filter ? service->makeStream(*request.filter, request.configuration) : nullptr;
  if (!stream) {
    still->queue.async([still] { still->finish(Problem::noSuchContent); });
    return;
  }
  stream->addOutput(still->queue, [weak = std::weak_ptr<Still>(still)](const CaptureSample& s) {
    if (auto self = weak.lock()) self->take(s);
  });
  // The still holds its running stream, so the stream holds it only weakly; the timeout holds
  // it until it is finished one way or another.
  stream->onStoppedWithError = [weak = std::weak_ptr<Still>(still)](std::error_code error) {
    if (auto self = weak.lock()) {
      self->queue.async([self, error] { self->finish(Problem::streamFailed, error); });
    }
  };
  still->queue.asyncAfter(request.timeout, [still] { still->finish(Problem::timedOut); });
  stream->start([still, stream](std::error_code error) {
    if (error) {
      still->queue.async([still, error] { still->finish(Problem::streamFailed, error); });
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

void StillPicture::captureWindow(std::shared_ptr<ScreenCaptureService> service,
                                 std::uint32_t windowID, std::shared_ptr<Executor> mainExecutor,
                                 std::function<void(Result)> done) {
  Request request;
  if (service) request.filter = service->windowFilter(windowID);
  request.settle = windowSettle;
  request.timeout = windowTimeout;
  capture(std::move(service), std::move(request), std::move(mainExecutor), std::move(done));
}

void StillPicture::captureDisplay(std::shared_ptr<ScreenCaptureService> service,
                                  std::uint32_t displayID,
                                  std::vector<std::int32_t> excludedProcessIDs,
                                  std::shared_ptr<Executor> mainExecutor,
                                  std::function<void(Result)> done,
                                  std::chrono::milliseconds timeout) {
  Request request;
  if (service) request.filter = service->displayFilter(displayID, std::move(excludedProcessIDs));
  if (request.filter) {
    const ScreenRect& frame = request.filter->contentRect;
    const double scale = request.filter->pointPixelScale > 0 ? request.filter->pointPixelScale : 1;
    const PixelSize size = LiveDisplayPreview::previewSize(frame.width, frame.height, scale, 0);
    request.configuration.width = static_cast<int>(size.width);
    request.configuration.height = static_cast<int>(size.height);
  }
  // The pointer would sit on the picture wherever it was when the user clicked.
  request.configuration.showsCursor = false;
  request.configuration.queueDepth = 1;
  request.timeout = timeout;
  capture(std::move(service), std::move(request), std::move(mainExecutor), std::move(done));
}

}  // namespace tavelin
