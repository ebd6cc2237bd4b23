#pragma once

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QWidget>
#include <optional>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin {

// A still picture of one display and where that display lies on the desktop: points of the
// picture (its pixels, fractions allowed) become screen points and back, whatever the
// picture's scale, and a drag on the picture becomes the screen rectangle it selects, by the
// same rule as a drag on the desktop overlay.
struct ScreenStillMapping {
  ScreenRect display;  // global points
  QSize picture;       // pixels

  bool isValid() const { return !display.isEmpty() && !picture.isEmpty(); }
  // Clamped to the picture, so the result lies on the display, its far edges included.
  QPointF toScreen(QPointF picturePoint) const;
  QRectF toPicture(const ScreenRect& rect) const;
  // The rectangle between two points of the picture in whole screen points, on the display.
  ScreenRect selection(QPointF from, QPointF to) const;
  // `rect` moved and cut so that it lies on the display, sides of at least a point.
  ScreenRect fitted(const ScreenRect& rect) const;
  // Large enough to share (the overlay's minimum too).
  static bool isUsable(const ScreenRect& rect);
};

// "<w> × <h> at <x>, <y>" in whole points.
QString selectionText(const ScreenRect& rect);

// A display's still, scaled to fit, on which the user drags the screen region to share; the
// keyboard does the same: arrows move the rectangle (from the middle of the display when there
// is none yet), Shift+arrows resize it, Ctrl makes each step 10 points. Return and Escape are
// left to the sheet around it. GUI thread.
class ScreenStillCanvas : public QWidget {
  Q_OBJECT
 public:
  explicit ScreenStillCanvas(QWidget* parent = nullptr);

  // Shows `image` as the picture of `display`; any selection is dropped.
  void setStill(const QImage& image, const ScreenRect& display);
  void clear();
  const QImage& image() const { return image_; }
  const ScreenStillMapping& mapping() const { return mapping_; }
  std::optional<ScreenRect> selection() const { return selection_; }
  void setSelection(std::optional<ScreenRect> selection);
  // Where a point of the picture (in its pixels) lies on the widget, and back.
  QPointF toWidget(QPointF picture) const;
  QPointF toPicture(QPointF widget) const;

 Q_SIGNALS:
  void selectionChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QRectF pictureArea() const;
  void changeSelection(std::optional<ScreenRect> selection);

  QImage image_;
  ScreenStillMapping mapping_;
  std::optional<QPointF> anchor_;  // picture pixels, while the mouse drags
  std::optional<ScreenRect> selection_;
};

}  // namespace tavelin
