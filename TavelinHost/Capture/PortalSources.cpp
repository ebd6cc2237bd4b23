#include "TavelinHost/Capture/PortalSources.hpp"

#include <cmath>
#include <type_traits>
#include <variant>

#include "TavelinKit/Model/CoordinateMath.hpp"

namespace tavelin {

// ---- Geometry for the touch mappers

std::optional<WindowGeometry> LiveWindowGeometryProvider::currentGeometry() const {
  const auto id = windowID_ ? windowID_() : std::nullopt;
  if (!id || *id == 0) return std::nullopt;
  const auto window = windows_->window(*id);
  if (!window || !window->isOnScreen) return std::nullopt;
  const ScreenRect& bounds = window->capturedArea();
  if (!(bounds.width > 0) || !(bounds.height > 0)) return std::nullopt;
  PixelSize surface = surfaceSize_ ? surfaceSize_() : PixelSize::empty;
  if (surface.isEmpty()) {
    surface = {static_cast<std::int64_t>(bounds.width), static_cast<std::int64_t>(bounds.height)};
  }
  return WindowGeometry{bounds, surface};
}

// ---- Screen region

DisplayRegionCaptureSource::DisplayRegionCaptureSource(
    std::shared_ptr<ScreenCaptureService> service, std::shared_ptr<WindowServer> windows,
    HostLogSink log, PictureSettings settings, const ScreenRect& region, CaptureQueues queues)
    : CaptureSource(std::move(service), std::move(log), settings, std::move(queues)),
      windows_(std::move(windows)),
      region_(region) {}

std::string DisplayRegionCaptureSource::descriptionText() const {
  return "screen region " + region_.description();
}

void DisplayRegionCaptureSource::makeCaptureSetup(SetupCompletion done) {
  const auto display =
      DisplayManager::displayContaining(DisplayManager::displays(*windows_), region_);
  if (!display) {
    done(std::nullopt);
    return;
  }
  const std::int32_t ownProcess = windows_->ownProcessID();
  auto weak = std::weak_ptr<DisplayRegionCaptureSource>(
      std::static_pointer_cast<DisplayRegionCaptureSource>(shared_from_this()));
  service().shareableContent([weak, display = *display, ownProcess, done = std::move(done)](
                                 std::optional<ShareableContent> content, std::error_code) {
    auto self = weak.lock();
    if (!self || !content) return done(std::nullopt);
    const bool listed = std::any_of(
        content->displays.begin(), content->displays.end(),
        [&](const ShareableDisplay& candidate) { return candidate.displayID == display.id; });
    if (!listed) return done(std::nullopt);
    {
      std::lock_guard guard(self->lock_);
      self->displayID_ = display.id;
      self->displayBounds_ = display.bounds;
      self->restartNeeded_ = false;
    }
    // The host's own windows (its border around the region) stay out of the picture.
    std::vector<std::int32_t> excluded;
    for (const auto& application : content->applications) {
      if (application.processID == ownProcess) excluded.push_back(application.processID);
    }
    auto filter = self->service().displayFilter(display.id, std::move(excluded));
    const ScreenRect area = self->region_.intersect(display.bounds);
    if (!filter || !(area.width > 0) || !(area.height > 0)) return done(std::nullopt);
    const double scale = filter->pointPixelScale > 0 ? filter->pointPixelScale : display.scale;
    CaptureSetup setup{*filter, self->baseConfiguration(area.width, area.height, scale)};
    setup.configuration.sourceRect =
        ScreenRect{area.x - display.bounds.x, area.y - display.bounds.y, area.width, area.height};
    done(std::move(setup));
  });
}

PortalCaptureState DisplayRegionCaptureSource::checkTargetHealth() {
  const auto display =
      DisplayManager::displayContaining(DisplayManager::displays(*windows_), region_);
  // A region that overlaps no display has nothing to show, even though a display is named
  // for it (the main one).
  if (!display || region_.intersect(display->bounds).isEmpty()) {
    return PortalCaptureState::sourceUnavailable;
  }
  std::lock_guard guard(lock_);
  if (display->id != displayID_ || display->bounds != displayBounds_) {
    displayID_ = display->id;
    displayBounds_ = display->bounds;
    restartNeeded_ = true;
  }
  return PortalCaptureState::capturing;
}

bool DisplayRegionCaptureSource::needsRestart() {
  std::lock_guard guard(lock_);
  return std::exchange(restartNeeded_, false);
}

// ---- Window

WindowCaptureSource::WindowCaptureSource(std::shared_ptr<ScreenCaptureService> service,
                                         std::shared_ptr<WindowServer> windows,
                                         std::shared_ptr<WindowResolver> resolver, HostLogSink log,
                                         PictureSettings settings, WindowTarget target,
                                         CaptureQueues queues)
    : CaptureSource(std::move(service), std::move(log), settings, std::move(queues)),
      windows_(std::move(windows)),
      resolver_(std::move(resolver)),
      target_(std::move(target)),
      currentWindowID_(target_.windowID) {}

std::string WindowCaptureSource::descriptionText() const {
  return "window " + target_.displayName();
}

std::optional<WindowID> WindowCaptureSource::targetWindowID() const {
  std::lock_guard guard(stateSync_);
  if (currentWindowID_ == 0) return std::nullopt;
  return currentWindowID_;
}

PixelSize WindowCaptureSource::lastContentSize() const {
  std::lock_guard guard(stateSync_);
  return lastContentSize_;
}

std::shared_ptr<const WindowGeometryProviding> WindowCaptureSource::geometryProvider() const {
  std::lock_guard guard(stateSync_);
  if (!geometry_) {
    // The provider outlives nothing: it reads the source through a weak reference.
    std::weak_ptr<const WindowCaptureSource> weak =
        std::static_pointer_cast<const WindowCaptureSource>(shared_from_this());
    geometry_ = std::make_shared<LiveWindowGeometryProvider>(
        windows_,
        [weak]() -> std::optional<WindowID> {
          auto self = weak.lock();
          return self ? self->targetWindowID() : std::nullopt;
        },
        [weak] {
          auto self = weak.lock();
          return self ? self->lastContentSize() : PixelSize::empty;
        });
  }
  return geometry_;
}

std::optional<WindowID> WindowCaptureSource::resolveWindowID() {
  WindowID current = 0;
  {
    std::lock_guard guard(stateSync_);
    current = currentWindowID_;
  }
  if (current != 0 && resolver_->matchesIdentity(current, target_)) return current;
  const auto resolution = resolver_->resolve(target_);
  const auto* found = std::get_if<WindowResolution::Found>(&resolution.value);
  if (!found) return std::nullopt;
  std::lock_guard guard(stateSync_);
  currentWindowID_ = found->windowID;
  return found->windowID;
}

void WindowCaptureSource::makeCaptureSetup(SetupCompletion done) {
  const auto id = resolveWindowID();
  if (!id) {
    done(std::nullopt);
    return;
  }
  auto weak = std::weak_ptr<WindowCaptureSource>(
      std::static_pointer_cast<WindowCaptureSource>(shared_from_this()));
  service().shareableContent([weak, id = *id, done = std::move(done)](
                                 std::optional<ShareableContent> content, std::error_code) {
    auto self = weak.lock();
    if (!self || !content) return done(std::nullopt);
    const auto window =
        std::find_if(content->windows.begin(), content->windows.end(),
                     [&](const ShareableWindow& candidate) { return candidate.windowID == id; });
    if (window == content->windows.end()) return done(std::nullopt);
    auto filter = self->service().windowFilter(id);
    if (!filter || !(filter->contentRect.width > 0) || !(filter->contentRect.height > 0)) {
      return done(std::nullopt);
    }
    double scale = filter->pointPixelScale;
    if (!(scale > 0)) {
      const auto display = DisplayManager::displayContaining(
          DisplayManager::displays(*self->windows_), window->frame);
      scale = display ? display->scale : 2.0;
    }
    CaptureSetup setup{*filter, self->baseConfiguration(filter->contentRect.width,
                                                        filter->contentRect.height, scale)};
    {
      std::lock_guard guard(self->stateSync_);
      self->configuredFrame_ = window->frame;
      self->restartNeeded_ = false;
    }
    done(std::move(setup));
  });
}

void WindowCaptureSource::noteFrame(const std::optional<ScreenRect>& frame) {
  if (!frame || !(frame->width > 0) || !(frame->height > 0)) return;
  std::lock_guard guard(stateSync_);
  // A move keeps the size and needs nothing: the stream follows its window.
  if (std::abs(frame->width - configuredFrame_.width) >= 1 ||
      std::abs(frame->height - configuredFrame_.height) >= 1) {
    configuredFrame_ = *frame;
    restartNeeded_ = true;
  }
}

PortalCaptureState WindowCaptureSource::checkTargetHealth() {
  WindowID current = 0;
  {
    std::lock_guard guard(stateSync_);
    current = currentWindowID_;
  }
  if (current != 0 && resolver_->matchesIdentity(current, target_)) {
    const auto window = windows_->window(current);
    if (!window || !window->isOnScreen) return PortalCaptureState::windowMinimized;
    noteFrame(window->bounds);
    return PortalCaptureState::capturing;
  }
  const auto resolution = resolver_->resolve(target_);
  const auto* found = std::get_if<WindowResolution::Found>(&resolution.value);
  if (!found) return PortalCaptureState::windowUnavailable;
  bool reconnected = false;
  {
    std::lock_guard guard(stateSync_);
    reconnected = currentWindowID_ != found->windowID;
    currentWindowID_ = found->windowID;
    if (reconnected) restartNeeded_ = true;
  }
  if (reconnected) log("Window reconnected (" + descriptionText() + ")");
  const auto window = windows_->window(found->windowID);
  return window && window->isOnScreen ? PortalCaptureState::capturing
                                      : PortalCaptureState::windowMinimized;
}

bool WindowCaptureSource::needsRestart() {
  std::lock_guard guard(stateSync_);
  return std::exchange(restartNeeded_, false);
}

void WindowCaptureSource::noteContentSize(const PixelSize& contentSize) {
  std::lock_guard guard(stateSync_);
  lastContentSize_ = contentSize;
}

PixelRect WindowCaptureSource::cropRect(const PixelSize& contentSize) {
  noteContentSize(contentSize);
  return {0, 0, contentSize.width, contentSize.height};
}

// ---- Window region

WindowRegionCaptureSource::WindowRegionCaptureSource(
    std::shared_ptr<ScreenCaptureService> service, std::shared_ptr<WindowServer> windows,
    std::shared_ptr<WindowResolver> resolver, HostLogSink log, PictureSettings settings,
    WindowTarget target, const NormalizedRect& region, const PixelRect& originalPixelRegion,
    RegionResizeBehavior resizeBehavior, CaptureQueues queues)
    : WindowCaptureSource(std::move(service), std::move(windows), std::move(resolver),
                          std::move(log), settings, std::move(target), std::move(queues)),
      region_(region),
      originalPixelRegion_(originalPixelRegion),
      resizeBehavior_(resizeBehavior) {}

std::string WindowRegionCaptureSource::descriptionText() const {
  return "window region " + WindowCaptureSource::descriptionText();
}

PixelRect WindowRegionCaptureSource::cropRect(const PixelSize& contentSize) {
  noteContentSize(contentSize);
  return CoordinateMath::effectiveCropRect(region_, originalPixelRegion_, contentSize,
                                           resizeBehavior_);
}

// ---- Factory

PortalSource PortalSourceFactory::make(const Portal& portal) const {
  const PictureSettings settings = settings_ ? settings_() : PictureSettings{};
  auto queues = [this] { return queues_ ? queues_() : CaptureQueues{}; };
  return std::visit(
      [&](const auto& data) -> PortalSource {
        using Data = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<Data, ScreenRegionPortalData>) {
          return {std::make_shared<DisplayRegionCaptureSource>(service_, windows_, log_, settings,
                                                               data.region, queues()),
                  std::make_shared<ScreenRegionCoordinateMapper>(data.region)};
        } else {
          std::shared_ptr<WindowCaptureSource> source;
          if constexpr (std::is_same_v<Data, WindowPortalData>) {
            source = std::make_shared<WindowCaptureSource>(service_, windows_, resolver_, log_,
                                                           settings, data.target, queues());
          } else {
            source = std::make_shared<WindowRegionCaptureSource>(
                service_, windows_, resolver_, log_, settings, data.target, data.region,
                data.originalPixelRegion, data.resizeBehavior, queues());
          }
          WindowIDAccessor windowID = [weak = std::weak_ptr<WindowCaptureSource>(source)] {
            auto self = weak.lock();
            return self ? self->targetWindowID() : std::nullopt;
          };
          std::shared_ptr<PortalCoordinateMapper> mapper;
          if constexpr (std::is_same_v<Data, WindowPortalData>) {
            mapper = std::make_shared<WindowCoordinateMapper>(source->geometryProvider(),
                                                              std::move(windowID));
          } else {
            mapper = std::make_shared<WindowRegionCoordinateMapper>(
                source->geometryProvider(), data.region, data.originalPixelRegion,
                data.resizeBehavior, std::move(windowID));
          }
          return {std::move(source), std::move(mapper)};
        }
      },
      portal.payload.value);
}

}  // namespace tavelin
