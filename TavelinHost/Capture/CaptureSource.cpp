#include "TavelinHost/Capture/CaptureSource.hpp"

#include <algorithm>
#include <utility>

namespace tavelin {

namespace {

std::string surfaceText(const StreamConfiguration& configuration) {
  return std::to_string(configuration.width) + "x" + std::to_string(configuration.height);
}

}  // namespace

CaptureSource::CaptureSource(std::shared_ptr<ScreenCaptureService> service, HostLogSink log,
                             PictureSettings settings, CaptureQueues queues)
    : service_(std::move(service)),
      log_(std::move(log)),
      settings_(settings),
      controlQueue_(queues.control ? std::move(queues.control)
                                   : std::make_shared<SerialQueue>("tavelin.capture.control")),
      frameQueue_(queues.frames ? std::move(*queues.frames)
                                : SerialQueue("tavelin.capture.frames")),
      now_(std::move(queues.now)) {}

CaptureSource::~CaptureSource() {
  // Nobody else can reach the stream now; do not leave it capturing for no one.
  if (stream_) stream_->stop({});
}

PortalCaptureState CaptureSource::state() const {
  std::lock_guard guard(stateLock_);
  return currentState_;
}

PixelSize CaptureSource::sourceSize() const {
  std::lock_guard guard(stateLock_);
  return currentSourceSize_;
}

void CaptureSource::log(std::string message) const {
  if (log_) log_("Capture", message);
}

StreamConfiguration CaptureSource::baseConfiguration(double width, double height,
                                                     double scale) const {
  const int fps = std::clamp(settings_.targetFps, 1, 60);
  StreamConfiguration configuration;
  configuration.width = static_cast<int>(std::max<std::int64_t>(2, roundToInteger(width * scale)));
  configuration.height =
      static_cast<int>(std::max<std::int64_t>(2, roundToInteger(height * scale)));
  configuration.showsCursor = true;
  configuration.queueDepth = 3;
  configuration.minimumFrameInterval = std::chrono::microseconds(1'000'000 / fps);
  configuration.scalesToFit = false;
  return configuration;
}

void CaptureSource::publish(PortalCaptureState next) {
  bool changed = false;
  {
    std::lock_guard guard(stateLock_);
    changed = currentState_ != next;
    currentState_ = next;
  }
  if (changed && onStateChange) onStateChange(next);
}

void CaptureSource::updateSourceSize(const PixelSize& next) {
  bool changed = false;
  {
    std::lock_guard guard(stateLock_);
    changed = currentSourceSize_ != next;
    currentSourceSize_ = next;
  }
  if (changed && onSourceSizeChange) onSourceSizeChange(next);
}

void CaptureSource::onControl(std::function<void(CaptureSource&)> work) {
  controlQueue_->post([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

void CaptureSource::start() {
  onControl([](CaptureSource& self) {
    if (self.running_) return;
    self.running_ = true;
    self.publish(PortalCaptureState::starting);
    self.watchdog_ = self.controlQueue_->repeat(watchdogInterval, [weak = self.weak_from_this()] {
      if (auto source = weak.lock()) source->watchdogTick();
    });
    if (!self.startInFlight_) self.launchStart();
  });
}

void CaptureSource::stop() {
  onControl([](CaptureSource& self) {
    if (!self.running_) return;
    self.running_ = false;
    self.watchdog_.cancel();
    self.tearDown();
    self.publish(PortalCaptureState::idle);
    self.log("Capture stopped (" + self.descriptionText() + ")");
  });
}

void CaptureSource::tearDown() {
  if (auto old = std::exchange(stream_, nullptr)) old->stop({});
}

// The start runs as a chain on the control queue: permission, set-up, stream, adoption. A stop
// may come in between any two steps; each step after a wait looks at `running_` again.
void CaptureSource::launchStart() {
  startInFlight_ = true;
  if (!service_->preflightPermission()) {
    publish(PortalCaptureState::permissionRequired);
    log("Capture error: the desktop does not allow screen capture");
    startInFlight_ = false;
    return;
  }
  makeCaptureSetup([weak = weak_from_this()](std::optional<CaptureSetup> setup) {
    if (auto self = weak.lock()) {
      self->onControl(
          [setup = std::move(setup)](CaptureSource& source) { source.continueStart(setup); });
    }
  });
}

void CaptureSource::continueStart(std::optional<CaptureSetup> setup) {
  if (!running_) {
    startInFlight_ = false;  // stopped while the set-up was being made: nothing to start
    return;
  }
  if (!setup) {
    const auto health = checkTargetHealth();
    publish(health == PortalCaptureState::capturing ? PortalCaptureState::windowUnavailable
                                                    : health);
    startInFlight_ = false;
    return;
  }
  auto stream = service_->makeStream(setup->filter, setup->configuration);
  if (!stream) {
    log("Capture error: could not start (" + descriptionText() + "): no capture stream");
    publish(PortalCaptureState::error);
    startInFlight_ = false;
    return;
  }
  const auto weak = weak_from_this();
  const std::weak_ptr<CaptureStream> weakStream = stream;
  stream->onStoppedWithError = [weak, weakStream](std::error_code error) {
    auto self = weak.lock();
    auto stopped = weakStream.lock();
    if (!self || !stopped) return;
    self->onControl(
        [stopped, error](CaptureSource& source) { source.streamStopped(stopped, error); });
  };
  if (pictureDemand) stream->setDemand(pictureDemand);
  stream->addOutput(frameQueue_, [weak](const CaptureSample& sample) {
    if (auto self = weak.lock()) self->deliver(sample);
  });
  stream->start([weak, stream, configuration = setup->configuration](std::error_code error) {
    if (auto self = weak.lock()) {
      self->onControl([stream, configuration, error](CaptureSource& source) {
        source.adopt(stream, configuration, error);
      });
    } else {
      stream->stop({});
    }
  });
}

void CaptureSource::adopt(const std::shared_ptr<CaptureStream>& started,
                          const StreamConfiguration& configuration, std::error_code error) {
  startInFlight_ = false;
  if (error) {
    log("Capture error: could not start (" + descriptionText() + "): " + error.message());
    if (running_) publish(PortalCaptureState::error);
    return;
  }
  if (!running_) {
    started->stop({});  // stopped while starting: the new stream is not wanted, state stays idle
    return;
  }
  stream_ = started;  // none before: a start is launched only while there is no stream
  publish(PortalCaptureState::capturing);
  log("Capture started (" + descriptionText() + ", surface " + surfaceText(configuration) + ")");
}

void CaptureSource::streamStopped(const std::shared_ptr<CaptureStream>& stopped,
                                  std::error_code error) {
  // Only the stream in use counts: one that was torn down or never adopted is gone anyway.
  if (stopped != stream_) return;
  log("Capture error: stream stopped (" + descriptionText() + "): " + error.message());
  stream_ = nullptr;
  publish(running_ ? checkTargetHealth() : PortalCaptureState::idle);
}

void CaptureSource::reconfigure() {
  if (!stream_) return;
  makeCaptureSetup([weak = weak_from_this(), stream = stream_](std::optional<CaptureSetup> setup) {
    auto self = weak.lock();
    if (!self || !setup) return;
    const std::string description = self->descriptionText();
    stream->updateConfiguration(
        setup->configuration, [weak, stream, setup, description](std::error_code error) {
          auto source = weak.lock();
          if (!source) return;
          if (error) {
            source->log("Capture error: reconfigure failed: " + error.message());
            return;
          }
          stream->updateFilter(setup->filter, [weak, setup, description](std::error_code failed) {
            auto owner = weak.lock();
            if (!owner) return;
            if (failed) {
              owner->log("Capture error: reconfigure failed: " + failed.message());
            } else {
              owner->log("Capture surface resized to " + surfaceText(setup->configuration) + " (" +
                         description + ")");
            }
          });
        });
  });
}

void CaptureSource::pictureWanted(bool refresh) {
  onControl([refresh](CaptureSource& self) {
    if (self.stream_) self.stream_->pictureWanted(refresh);
  });
}

void CaptureSource::watchdogTick() {
  if (!running_) return;
  const auto health = checkTargetHealth();
  if (health == PortalCaptureState::windowMinimized) {
    publish(health);  // the stream stays: a window restored from the taskbar needs no restart
  } else if (health != PortalCaptureState::capturing) {
    tearDown();
    publish(health);
  } else if (!stream_) {
    log("Target available again \u2014 restarting capture (" + descriptionText() + ")");
    if (!startInFlight_) launchStart();
  } else if (needsRestart()) {
    reconfigure();
  } else {
    publish(PortalCaptureState::capturing);
  }
}

void CaptureSource::deliver(const CaptureSample& sample) {
  if (!running_) return;
  if (frameGate && !frameGate()) return;  // before any work on the picture
  const auto views = wantedViews();
  auto set = encoder_.makeFrames(
      sample, [this](const PixelSize& contentSize) { return cropRect(contentSize); },
      settings_.maxFrameDimension, wantedQuality(settings_.jpegQuality), now_(), views);
  if (!set) return;
  updateSourceSize(set->size);
  if (onFrame) {
    for (const auto& frame : set->frames) onFrame(frame);
  }
}

}  // namespace tavelin
