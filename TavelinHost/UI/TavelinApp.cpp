#include "TavelinHost/UI/TavelinApp.hpp"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/RegionSelectionOverlay/RegionSelectionOverlay.hpp"
#include "TavelinHost/UI/ColorScheme.hpp"
#include "TavelinHost/UI/MainWindow.hpp"
#include "TavelinHost/UI/PairingNotifications.hpp"
#include "TavelinHost/UI/TrayIcon.hpp"

namespace tavelin {

TavelinApp::TavelinApp(AppModel& model)
    : model_(model),
      window_(std::make_unique<MainWindow>(model)),
      colors_(std::make_unique<ColorScheme>()) {
  model_.connection().copyText = [](const QString& text) {
    QGuiApplication::clipboard()->setText(text);
  };
  model_.connection().openURL = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
  window_->onShown = [this] {
    if (model_.didStart) return;
    model_.didStart = true;
    model_.start();
  };
  connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { model_.shutDown(); });
  tray_ = std::make_unique<TrayIcon>(model_, [window = window_.get()] {
    window->show();
    window->raise();
    window->activateWindow();
  });
  tray_->showIfAvailable();
  window_->keepRunningOnClose = [this] {
    return model_.settings().value().keepRunningInTray && tray_->isShown();
  };
  notifications_ =
      std::make_unique<PairingNotifications>(model_.phones(), model_.activity().sink());
  // Where the desktop keeps applications from placing windows over others, the model picks
  // regions on a still picture in the window, and no border is drawn.
  if (!model_.desktop().placesOverlays()) return;
  // The model and this shell live for the whole process; the window is this shell's own.
  model_.sharing().showRegionBorder = [this](std::optional<ScreenRect> region) {
    if (!region) {
      border_.reset();
      return;
    }
    if (!border_) border_ = std::make_unique<RegionBorderOverlay>();
    border_->show(*region);
  };
  // The window steps aside while the user drags on the desktop and comes back afterwards,
  // whatever the outcome. The overlay photographs the screens as it appears, so it waits a
  // moment for the applications under the window to repaint what the window covered.
  model_.presentRegionSelection = [window = QPointer<MainWindow>(window_.get())](
                                      std::function<void(std::optional<ScreenRect>)> completion) {
    if (!window) return;
    window->hide();
    QTimer::singleShot(repaintPause, window, [window, completion] {
      RegionSelectionOverlay::present([window, completion](std::optional<ScreenRect> rect) {
        if (window) {
          window->show();
          window->raise();
          window->activateWindow();
        }
        completion(rect);
      });
    });
  };
}

TavelinApp::~TavelinApp() {
  window_->keepRunningOnClose = nullptr;
  model_.connection().copyText = nullptr;
  model_.connection().openURL = nullptr;
  model_.sharing().showRegionBorder = nullptr;
  model_.presentRegionSelection = nullptr;
}

void TavelinApp::show() { window_->show(); }

}  // namespace tavelin
