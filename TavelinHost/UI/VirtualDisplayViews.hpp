#pragma once

#include <QDialog>
#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QPushButton;
class QStackedLayout;

namespace tavelin {

class AppModel;
class LiveDisplayPreview;

// A live picture of the virtual display, scaled to fit; with `selectable`, the user can drag a
// rectangle on it (reported in the picture's own fractions). GUI thread.
class DisplayPreview : public QWidget {
  Q_OBJECT
 public:
  explicit DisplayPreview(bool selectable, QWidget* parent = nullptr);
  void setImage(const QImage& image);
  bool hasImage() const { return !image_.isNull(); }
  // The dragged rectangle in fractions of the picture; empty when nothing is selected.
  QRectF selection() const { return selection_; }

 Q_SIGNALS:
  void selectionChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  QSize sizeHint() const override { return {320, 180}; }

 private:
  QRectF pictureArea() const;
  QPointF fractionAt(QPointF position) const;

  const bool selectable_;
  QImage image_;
  std::optional<QPointF> anchor_;
  QRectF selection_;
};

// Keeps a LiveDisplayPreview of the model's virtual display running while it exists and the
// widget showing it is visible.
class VirtualDisplayFeed : public QObject {
  Q_OBJECT
 public:
  VirtualDisplayFeed(AppModel& model, int fps, int maxDimension, QObject* parent = nullptr);
  ~VirtualDisplayFeed() override;
  void setRunning(bool running);

 Q_SIGNALS:
  void frame(const QImage& image);

 private:
  void restart();
  AppModel& model_;
  const int fps_;
  const int maxDimension_;
  bool running_ = false;
  std::shared_ptr<LiveDisplayPreview> preview_;
};

// The main window's card: create the display, watch it, move windows there and back.
class VirtualDisplayCard : public QWidget {
  Q_OBJECT
 public:
  explicit VirtualDisplayCard(AppModel& model, std::function<void()> openWindow,
                              QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void refresh();
  AppModel& model_;
  VirtualDisplayFeed* feed_;
  QWidget* absent_;
  QWidget* present_;
  DisplayPreview* preview_;
  QLabel* info_;
};

// The "Virtual Display" window: the display at full rate and size, and sharing it or a part.
class VirtualDisplayWindow : public QWidget {
  Q_OBJECT
 public:
  explicit VirtualDisplayWindow(AppModel& model, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void refresh();
  AppModel& model_;
  VirtualDisplayFeed* feed_;
  QStackedLayout* pages_;
  QWidget* missing_;
  QWidget* live_;
  QLabel* connecting_;
  DisplayPreview* preview_;
  QPushButton* shareRegion_;
};

}  // namespace tavelin
