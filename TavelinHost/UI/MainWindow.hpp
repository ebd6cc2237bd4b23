#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <functional>

class QAction;
class QBoxLayout;
class QDockWidget;
class QPlainTextEdit;
class QScrollArea;
class QToolButton;

namespace tavelin {

class AppModel;
class ConnectionCard;
class SettingsDialog;

// The host's main window: banners, approvals, how to connect, portals, devices and the virtual
// display, top to bottom, with the activity log beside them on demand. The sheet the model
// names is shown as a window-modal dialog; closing the dialog clears it. GUI thread.
class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
  ~MainWindow() override;

  ConnectionCard* connectionCard() const { return connection_; }
  QDialog* openSheet() const { return sheetDialog_; }
  QDockWidget* activityDock() const { return activity_; }
  QPlainTextEdit* activityText() const { return activityText_; }
  QToolButton* moreButton() const { return more_; }
  void showSettings();
  void showVirtualDisplayWindow();
  void revokeAllAccess();
  // Called whenever the window is shown (the shell starts the host the first time).
  std::function<void()> onShown;
  // Asked when the user closes the window: true hides it instead, and the host runs on.
  std::function<bool()> keepRunningOnClose;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void showSheet();
  void refreshActivity();
  void showError();
  // Beside the sections where the window is wide enough for both, else under them.
  void placeActivity();
  // The sections side by side where they fit, else one above the other.
  void arrangeColumns();

  AppModel& model_;
  ConnectionCard* connection_;
  QDockWidget* activity_;
  QPlainTextEdit* activityText_;
  QToolButton* more_;
  QScrollArea* scroll_;
  QBoxLayout* columns_;
  bool placingActivity_ = false;
  bool shownBefore_ = false;
  QAction* activityAction_;
  QPointer<QDialog> sheetDialog_;
  QPointer<SettingsDialog> settings_;
  QPointer<QWidget> virtualDisplayWindow_;
};

}  // namespace tavelin
