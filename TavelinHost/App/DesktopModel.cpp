#include "TavelinHost/App/DesktopModel.hpp"

#include <thread>

#include "TavelinHost/Capture/LiveDisplayPreview.hpp"
#include "TavelinHost/Capture/StillPicture.hpp"
#include "TavelinHost/Capture/TavelinVirtualDisplay.hpp"
#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "TavelinHost/Platform/PlatformServices.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"

namespace tavelin {

namespace {

QImage imageOf(const LiveDisplayPreview::Image& picture) {
  return pictureImage(picture.pixels, static_cast<int>(picture.size.width),
                      static_cast<int>(picture.size.height), picture.stride);
}

// Why a display's still did not come, as the window says it.
QString stillProblemText(const StillPicture::Result& result) {
  switch (result.problem) {
    case StillPicture::Problem::none: break;
    case StillPicture::Problem::unavailable:
      return QStringLiteral("This desktop does not let Tavelin capture the screen.");
    case StillPicture::Problem::noSuchContent:
      return QStringLiteral("That display is not connected any more.");
    case StillPicture::Problem::streamFailed:
      return QStringLiteral("The desktop refused to capture the screen") +
             (result.error ? QStringLiteral(" (") + QString::fromStdString(result.error.message()) +
                                 QStringLiteral(").")
                           : QStringLiteral("."));
    case StillPicture::Problem::timedOut:
      return QStringLiteral("No picture of the screen came from the desktop within %1 seconds.")
          .arg(StillPicture::displayTimeout.count() / 1000);
  }
  return QStringLiteral("Tavelin could not take a picture of the screen.");
}

QString sizeText(std::uint32_t width, std::uint32_t height) {
  return QString::number(width) + QStringLiteral(" \u00D7 ") + QString::number(height);
}

}  // namespace

QImage pictureImage(const std::shared_ptr<const std::vector<std::uint8_t>>& pixels, int width,
                    int height, int stride) {
  using Pixels = std::shared_ptr<const std::vector<std::uint8_t>>;
  if (!pixels) return {};
  // The image holds on to the pixels; BGRX bytes are what Qt calls RGB32 on little-endian.
  return QImage(
      pixels->data(), width, height, stride, QImage::Format_RGB32,
      [](void* held) { delete static_cast<Pixels*>(held); }, new Pixels(pixels));
}

DesktopModel::DesktopModel(const PlatformServices& platform, std::shared_ptr<Executor> mainExecutor,
                           std::shared_ptr<Executor> background, HostLogSink log)
    : platform_(std::make_unique<const PlatformServices>(platform)),
      mainExecutor_(std::move(mainExecutor)),
      background_(std::move(background)),
      log_(std::move(log)) {}

DesktopModel::~DesktopModel() { *alive_ = false; }

void DesktopModel::listWindows(std::function<void(std::vector<WindowInfo>)> done) {
  if (!platform_->capture || !platform_->windows) {
    mainExecutor_->post([alive = std::weak_ptr<bool>(alive_), done = std::move(done)] {
      if (!alive.expired()) done({});
    });
    return;
  }
  // The desktop answers synchronously and may take a while: not on the main thread. The answer
  // is dropped when this model is gone by then.
  background_->post([alive = std::weak_ptr<bool>(alive_), main = mainExecutor_,
                     capture = platform_->capture, own = platform_->windows->ownProcessID(),
                     done = std::move(done)]() mutable {
    WindowEnumerator::windows(
        *capture, own,
        [alive, main, done = std::move(done)](std::vector<WindowInfo> windows) mutable {
          main->post([alive, done = std::move(done), windows = std::move(windows)] {
            if (!alive.expired()) done(windows);
          });
        });
  });
}

std::vector<WindowInfo> DesktopModel::windowsNow() const {
  std::vector<WindowInfo> found;
  if (platform_->capture && platform_->windows) {
    WindowEnumerator::windows(*platform_->capture, platform_->windows->ownProcessID(),
                              [&found](std::vector<WindowInfo> windows) { found = windows; });
  }
  return found;
}

bool DesktopModel::choosesWindowsInDesktop() const {
  return static_cast<bool>(platform_->chooseWindow);
}

QString DesktopModel::noWindowsNote() const { return QString::fromStdString(platform_->noWindows); }

QString DesktopModel::windowCaptureNote() const {
  return QString::fromStdString(platform_->windowCaptureNote);
}

void DesktopModel::chooseWindowInDesktop(
    std::function<void(std::optional<WindowInfo>, QString)> done) {
  if (!platform_->chooseWindow) {
    done(std::nullopt, QStringLiteral("This desktop has no window chooser of its own."));
    return;
  }
  // The chooser waits for the person at the desk, for minutes if need be.
  std::thread([choose = platform_->chooseWindow, main = mainExecutor_,
               alive = std::weak_ptr<bool>(alive_), this, done = std::move(done)]() mutable {
    std::string why;
    const auto id = choose(why);
    main->post([alive, this, id, why, done = std::move(done)] {
      if (alive.expired()) return;
      if (!id) return done(std::nullopt, QString::fromStdString(why));
      for (const auto& window : windowsNow()) {
        if (window.id == *id) return done(window, QString());
      }
      done(std::nullopt, QStringLiteral("the chosen window closed at once"));
    });
  }).detach();
}

void DesktopModel::captureWindowStill(std::uint32_t windowID, std::function<void(QImage)> done) {
  StillPicture::captureWindow(
      platform_->capture, windowID, mainExecutor_,
      [alive = std::weak_ptr<bool>(alive_), done = std::move(done)](StillPicture::Result still) {
        if (!alive.expired()) done(still.image ? imageOf(*still.image) : QImage());
      });
}

void DesktopModel::captureDisplayStill(std::uint32_t displayID,
                                       std::function<void(QImage, QString)> done) {
  // The host's own windows are left out where the desktop can; where it cannot, they show.
  std::vector<std::int32_t> own;
  if (platform_->windows) own.push_back(platform_->windows->ownProcessID());
  StillPicture::captureDisplay(
      platform_->capture, displayID, std::move(own), mainExecutor_,
      [alive = std::weak_ptr<bool>(alive_), done = std::move(done)](StillPicture::Result still) {
        if (alive.expired()) return;
        if (still.image) {
          done(imageOf(*still.image), QString());
        } else {
          done(QImage(), stillProblemText(still));
        }
      });
}

std::vector<DisplayInfo> DesktopModel::displays() const {
  return platform_->windows ? DisplayManager::displays(*platform_->windows)
                            : std::vector<DisplayInfo>{};
}

std::optional<DisplayInfo> DesktopModel::mainDisplay() const {
  return DisplayManager::mainDisplay(displays());
}

bool DesktopModel::canCapture() const {
  return platform_->capture && platform_->capture->preflightPermission();
}

bool DesktopModel::placesOverlays() const { return platform_->placesOverlays; }

std::optional<QString> DesktopModel::virtualDisplayInfo() const {
  if (!virtualDisplay_) return std::nullopt;
  return sizeText(virtualDisplay_->widthPixels, virtualDisplay_->heightPixels);
}

std::optional<std::uint32_t> DesktopModel::virtualDisplayID() const {
  if (!virtualDisplay_) return std::nullopt;
  return virtualDisplay_->displayID;
}

std::optional<DisplayInfo> DesktopModel::virtualDisplayBounds() const {
  if (!virtualDisplay_) return std::nullopt;
  return DisplayManager::displayFor(displays(), virtualDisplay_->displayID);
}

void DesktopModel::createVirtualDisplay(std::uint32_t width, std::uint32_t height) {
  if (!virtualDisplay_) {
    if (platform_->virtualDisplays) {
      virtualDisplay_ =
          TavelinVirtualDisplay::create(*platform_->virtualDisplays, width, height, "Tavelin");
    }
    if (!virtualDisplay_) {
      log_("Host", "Virtual display: creation failed");
      Q_EMIT failed(QStringLiteral("Could not create a virtual display."));
      return;
    }
  }
  log_("Host", "Virtual display created (" + virtualDisplayInfo()->toStdString() + ")");
  Q_EMIT virtualDisplayChanged();
}

void DesktopModel::removeVirtualDisplay() {
  virtualDisplay_.reset();
  log_("Host", "Virtual display removed");
  Q_EMIT virtualDisplayChanged();
}

QString DesktopModel::virtualDisplayNote() const {
  return QString::fromStdString(platform_->virtualDisplayNote);
}

bool DesktopModel::offerWindowMoves() {
  if (platform_->windowControl && platform_->windowControl->isTrusted()) return true;
  Q_EMIT failed(platform_->noWindowMoves.empty()
                    ? QStringLiteral("This desktop does not let Tavelin move windows.")
                    : QString::fromStdString(platform_->noWindowMoves));
  return false;
}

void DesktopModel::moveWindow(const WindowInfo& window, bool toVirtual) {
  if (!offerWindowMoves()) return;
  ScreenPoint origin;
  if (toVirtual) {
    const auto bounds = virtualDisplayBounds();
    if (!bounds) {
      Q_EMIT failed(QStringLiteral("Create a virtual display first."));
      return;
    }
    origin = {bounds->bounds.x + 40, bounds->bounds.y + 40};
  } else {
    const auto home = mainDisplay();
    if (!home) return;
    origin = {home->bounds.x + 80, home->bounds.y + 80};
  }
  if (WindowMover::move(*platform_->windowControl, window, origin)) {
    log_("Host", "Moved " + window.applicationName + " " +
                     (toVirtual ? "to the virtual display" : "back to the main screen"));
  } else {
    Q_EMIT failed(QStringLiteral("Could not move that window. Make sure it is still open."));
  }
}

std::shared_ptr<void> DesktopModel::previewVirtualDisplay(int fps, int maxDimension,
                                                          std::function<void(QImage)> onFrame) {
  const auto display = virtualDisplayBounds();
  if (!display || !platform_->capture) return nullptr;
  auto preview = std::make_shared<LiveDisplayPreview>(platform_->capture, mainExecutor_);
  preview->onFrame = [onFrame = std::move(onFrame)](const LiveDisplayPreview::Image& image) {
    onFrame(imageOf(image));
  };
  preview->start(display->id, fps, maxDimension);
  // The handle stops the preview when the last holder lets go of it.
  return std::shared_ptr<void>(nullptr, [preview](void*) { preview->stop(); });
}

}  // namespace tavelin
