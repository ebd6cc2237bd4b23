#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;

namespace tavelin {

class AppModel;

// Tavelin in the desktop's tray, where there is one (a StatusNotifierItem host or an X11
// tray): its look says whether anything is shared and whether a phone watches, and its menu
// opens the window, stops all sharing, copies the link and quits. A click opens the window.
// GUI thread.
class TrayIcon : public QObject {
  Q_OBJECT
 public:
  enum class Look { idle, shared, watched };

  TrayIcon(AppModel& model, std::function<void()> openWindow, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Shows the icon where the desktop has a tray, now or once one appears; whether it shows now.
  bool showIfAvailable();
  bool isShown() const;
  Look look() const { return look_; }
  QString toolTip() const;
  QMenu* menu() const { return menu_; }
  // The picture of each look.
  static QIcon picture(Look look);

 private:
  struct Counts {
    int shared = 0;    // portals shared
    int watching = 0;  // streams that watch one
  };
  Counts counts() const;
  void refresh();

  AppModel& model_;
  QMenu* menu_;
  QAction* stopAll_;
  QSystemTrayIcon* icon_;
  Look look_ = Look::idle;
};

}  // namespace tavelin
