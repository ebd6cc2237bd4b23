#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>

#include "TavelinHost/UI/PictureCanvas.hpp"

class QLabel;
class QPushButton;
class QStackedLayout;

namespace tavelin {

class AppModel;

// Keeps a live picture of the model's virtual display running while the display exists
// and `viewer`, the widget showing it, is visible; the feed belongs to the viewer.
class VirtualDisplayFeed : public QObject {
  Q_OBJECT
 public:
  VirtualDisplayFeed(AppModel& model, int fps, int maxDimension, QWidget* viewer);
  ~VirtualDisplayFeed() override;

 Q_SIGNALS:
  void frame(const QImage& image);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void setRunning(bool running);
  void restart();
  AppModel& model_;
  const int fps_;
  const int maxDimension_;
  bool running_ = false;
  std::shared_ptr<void> preview_;  // the preview runs while it is held
};

// The main window's card: create the display, watch it, move windows there and back.
class VirtualDisplayCard : public QWidget {
  Q_OBJECT
 public:
  explicit VirtualDisplayCard(AppModel& model, std::function<void()> openWindow,
                              QWidget* parent = nullptr);

 private:
  void refresh();
  AppModel& model_;
  QWidget* absent_;
  QWidget* present_;
  RegionCanvas* preview_;
  QLabel* info_;
};

// The "Virtual Display" window: the display at full rate and size, and sharing it or a part.
class VirtualDisplayWindow : public QWidget {
  Q_OBJECT
 public:
  explicit VirtualDisplayWindow(AppModel& model, QWidget* parent = nullptr);

 private:
  void refresh();
  AppModel& model_;
  QStackedLayout* pages_;
  QWidget* missing_;
  QWidget* live_;
  QLabel* connecting_;
  RegionCanvas* preview_;
  QPushButton* shareRegion_;
};

}  // namespace tavelin
