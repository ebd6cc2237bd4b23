#pragma once

#include <QObject>
#include <chrono>
#include <memory>

namespace tavelin {

class AppModel;
class MainWindow;
class RegionBorderOverlay;

// The application with its window: one model for the life of the process, the main window,
// and what the model asks of the desktop (clipboard, browser, the region overlays). The host
// starts when the main window is first shown and shuts down when the application quits, which
// it does when the main window closes. GUI thread.
class TavelinApp : public QObject {
  Q_OBJECT
 public:
  // How long the window is gone before the region overlay photographs the screens.
  static constexpr std::chrono::milliseconds repaintPause{200};

  explicit TavelinApp(AppModel& model);
  ~TavelinApp() override;

  MainWindow& mainWindow() { return *window_; }
  void show();

 private:
  AppModel& model_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<RegionBorderOverlay> border_;
};

}  // namespace tavelin
