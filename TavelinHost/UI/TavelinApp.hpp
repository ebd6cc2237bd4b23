#pragma once

#include <QObject>
#include <chrono>
#include <memory>

namespace tavelin {

class AppModel;
class ColorScheme;
class MainWindow;
class PairingNotifications;
class RegionBorderOverlay;
class TrayIcon;

// The application with its window: one model for the life of the process, the main window,
// and what the model asks of the desktop (clipboard, browser, the region overlays). The host
// starts when the main window is first shown and shuts down when the application quits, which
// it does when the main window closes — unless the user chose to keep it in the tray and the
// desktop has one. Requests to pair also raise desktop notifications. GUI thread.
class TavelinApp : public QObject {
  Q_OBJECT
 public:
  // How long the window is gone before the region overlay photographs the screens.
  static constexpr std::chrono::milliseconds repaintPause{200};

  explicit TavelinApp(AppModel& model);
  ~TavelinApp() override;

  MainWindow& mainWindow() { return *window_; }
  TrayIcon& trayIcon() { return *tray_; }
  void show();

 private:
  AppModel& model_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<ColorScheme> colors_;
  std::unique_ptr<TrayIcon> tray_;
  std::unique_ptr<PairingNotifications> notifications_;
  std::unique_ptr<RegionBorderOverlay> border_;
};

}  // namespace tavelin
