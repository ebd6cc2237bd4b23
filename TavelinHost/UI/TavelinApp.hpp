#pragma once

#include <QObject>
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
