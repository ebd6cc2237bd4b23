#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <optional>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin {

// The part of a picture the user dragged, in the picture's pixels and in fractions of it, and
// the texts that describe it.
struct RegionChoice {
  NormalizedRect normalized;
  PixelRect pixels;

  // From a drag between two points of a picture of `size` pixels (any order, clamped to it).
  static RegionChoice fromDrag(QPointF from, QPointF to, QSize size);
  QString sizeText() const;        // "<w> × <h> px"
  QString normalizedText() const;  // "normalized 0.100, 0.200, 0.500 × 0.250"
};

// A picture scaled to fit, on which a rectangle can be dragged (unless it only shows): a
// window's still, or the virtual display live. GUI thread.
class RegionCanvas : public QWidget {
  Q_OBJECT
 public:
  explicit RegionCanvas(QWidget* parent = nullptr);
  void setSelectable(bool selectable);
  // A picture of another size drops the choice; a new picture of the same size keeps it.
  void setImage(const QImage& image);
  const QImage& image() const { return image_; }
  std::optional<RegionChoice> choice() const { return choice_; }
  // Where a point of the picture (in its pixels) lies on the widget, and back.
  QPointF toWidget(QPointF picture) const;

 Q_SIGNALS:
  void choiceChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QRectF pictureArea() const;
  QPointF toPicture(QPointF widget) const;

  bool selectable_ = true;
  QImage image_;
  std::optional<QPointF> anchor_;
  std::optional<RegionChoice> choice_;
};

}  // namespace tavelin
