#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/DisplayInfo.hpp"
#include "TavelinKit/Model/WindowInfo.hpp"

namespace tavelin {

class Executor;
class TavelinVirtualDisplay;
struct PlatformServices;

// The desktop as the window sees it: its windows and displays to pick from, still and live
// pictures of them, the virtual display and moving windows onto it and back. On the main
// thread; answers that take time arrive there too, never after the model is gone.
class DesktopModel final : public QObject {
  Q_OBJECT
 public:
  DesktopModel(const PlatformServices& platform, std::shared_ptr<Executor> mainExecutor,
               std::shared_ptr<Executor> background, HostLogSink log);
  ~DesktopModel() override;

  // The windows a portal can share, listed off the main thread.
  void listWindows(std::function<void(std::vector<WindowInfo>)> done);
  // The same, asked and answered on the calling thread (for a terminal's commands).
  std::vector<WindowInfo> windowsNow() const;
  // Whether windows are picked in the desktop's own chooser, where it lists none to Tavelin.
  bool choosesWindowsInDesktop() const;
  // Why this desktop lets no window be shared; empty where windows are listed or chosen.
  QString noWindowsNote() const;
  // What a shared window shows on this desktop unlike elsewhere; empty where nothing.
  QString windowCaptureNote() const;
  // Opens the desktop's window chooser, waiting off the main thread while the user picks; the
  // window picked, or nothing and a sentence saying why, on the main thread.
  void chooseWindowInDesktop(std::function<void(std::optional<WindowInfo>, QString)> done);
  // A still picture of one window; a null image when it cannot be captured.
  void captureWindowStill(std::uint32_t windowID, std::function<void(QImage)> done);
  // A still picture of one display at its full size; or a null image and a sentence that says
  // plainly why there is none.
  void captureDisplayStill(std::uint32_t displayID, std::function<void(QImage, QString)> done);
  std::vector<DisplayInfo> displays() const;
  std::optional<DisplayInfo> mainDisplay() const;
  // Whether the desktop lets the host capture the screen now.
  bool canCapture() const;
  // Whether the host may put its own windows over other applications' (the desktop overlays
  // that select a region and outline a shared one). Where not, a region is chosen on a still
  // picture inside the host's window, and no border is drawn.
  bool placesOverlays() const;

  bool virtualDisplayActive() const { return virtualDisplay_ != nullptr; }
  // Its size in pixels ("1920 × 1080"), while it exists.
  std::optional<QString> virtualDisplayInfo() const;
  std::optional<std::uint32_t> virtualDisplayID() const;
  std::optional<DisplayInfo> virtualDisplayBounds() const;
  // 1920 × 1080 unless asked otherwise (a terminal may).
  void createVirtualDisplay(std::uint32_t width = 1920, std::uint32_t height = 1080);
  void removeVirtualDisplay();
  // What the virtual display is on this desktop and what it cannot do; empty when nothing.
  QString virtualDisplayNote() const;
  // Whether this desktop lets windows be moved; when not, `failed` says so and what to do.
  bool offerWindowMoves();
  // Moves the window to the virtual display, or back to the main one.
  void moveWindow(const WindowInfo& window, bool toVirtual);
  // A live picture of the virtual display at `fps`, at most `maxDimension` pixels a side, while
  // the returned handle is held; nothing without a display to show.
  std::shared_ptr<void> previewVirtualDisplay(int fps, int maxDimension,
                                              std::function<void(QImage)> onFrame);

 Q_SIGNALS:
  void virtualDisplayChanged();
  // Something the user asked for could not be done; the sentence says what to do.
  void failed(const QString& message);

 private:
  const std::unique_ptr<const PlatformServices> platform_;
  const std::shared_ptr<Executor> mainExecutor_;
  const std::shared_ptr<Executor> background_;
  const HostLogSink log_;
  std::unique_ptr<TavelinVirtualDisplay> virtualDisplay_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// A captured BGRX picture as an image for the window, sharing its pixels (no copy).
QImage pictureImage(const std::shared_ptr<const std::vector<std::uint8_t>>& pixels, int width,
                    int height, int stride);

}  // namespace tavelin
