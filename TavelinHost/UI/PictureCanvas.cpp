#include "TavelinHost/UI/PictureCanvas.hpp"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace tavelin {

// ---- RegionChoice

RegionChoice RegionChoice::fromDrag(QPointF from, QPointF to, QSize size) {
  const double width = size.width(), height = size.height();
  auto clampX = [&](double x) { return std::clamp(x, 0.0, width); };
  auto clampY = [&](double y) { return std::clamp(y, 0.0, height); };
  const auto left = static_cast<std::int64_t>(std::lround(clampX(std::min(from.x(), to.x()))));
  const auto top = static_cast<std::int64_t>(std::lround(clampY(std::min(from.y(), to.y()))));
  const auto right = static_cast<std::int64_t>(std::lround(clampX(std::max(from.x(), to.x()))));
  const auto bottom = static_cast<std::int64_t>(std::lround(clampY(std::max(from.y(), to.y()))));
  RegionChoice choice;
  choice.pixels = {left, top, right - left, bottom - top};
  if (width > 0 && height > 0) {
    choice.normalized = {static_cast<double>(left) / width, static_cast<double>(top) / height,
                         static_cast<double>(right - left) / width,
                         static_cast<double>(bottom - top) / height};
  }
  return choice;
}

QString RegionChoice::sizeText() const {
  return QString::number(pixels.width) + QStringLiteral(" \u00D7 ") +
         QString::number(pixels.height) + QStringLiteral(" px");
}

QString RegionChoice::normalizedText() const {
  return QString::asprintf("normalized %.3f, %.3f, %.3f \u00D7 %.3f", normalized.x, normalized.y,
                           normalized.width, normalized.height);
}

// ---- RegionCanvas

RegionCanvas::RegionCanvas(QWidget* parent) : QWidget(parent) {
  setMinimumSize(360, 220);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setCursor(Qt::CrossCursor);
}

void RegionCanvas::setSelectable(bool selectable) {
  selectable_ = selectable;
  setCursor(selectable ? Qt::CrossCursor : Qt::ArrowCursor);
}

void RegionCanvas::setImage(const QImage& image) {
  const bool resized = image.size() != image_.size();
  image_ = image;
  if (resized && (choice_ || anchor_)) {
    choice_.reset();
    anchor_.reset();
    Q_EMIT choiceChanged();
  }
  update();
}

QRectF RegionCanvas::pictureArea() const {
  if (image_.isNull()) return {};
  QSizeF size = image_.size();
  size.scale(QSizeF(width(), height()), Qt::KeepAspectRatio);
  return {QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size};
}

QPointF RegionCanvas::toPicture(QPointF widget) const {
  const QRectF area = pictureArea();
  if (area.isEmpty()) return {};
  return {(widget.x() - area.x()) * image_.width() / area.width(),
          (widget.y() - area.y()) * image_.height() / area.height()};
}

QPointF RegionCanvas::toWidget(QPointF picture) const {
  const QRectF area = pictureArea();
  if (image_.isNull()) return {};
  return {area.x() + picture.x() * area.width() / image_.width(),
          area.y() + picture.y() * area.height() / image_.height()};
}

void RegionCanvas::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF area = pictureArea();
  if (area.isEmpty()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(area, image_);
  if (!choice_) return;
  const PixelRect& p = choice_->pixels;
  const QRectF chosen(
      toWidget(QPointF(static_cast<double>(p.x), static_cast<double>(p.y))),
      toWidget(QPointF(static_cast<double>(p.right()), static_cast<double>(p.bottom()))));
  // Dim what is left out, so the part that will be shared stands out.
  QPainterPath outside;
  outside.addRect(area);
  outside.addRect(chosen);
  painter.fillPath(outside, QColor(0, 0, 0, 110));
  painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
  painter.drawRect(chosen);
}

void RegionCanvas::mousePressEvent(QMouseEvent* event) {
  if (!selectable_ || image_.isNull() || event->button() != Qt::LeftButton) return;
  anchor_ = toPicture(event->position());
  choice_ = RegionChoice::fromDrag(*anchor_, *anchor_, image_.size());
  update();
  Q_EMIT choiceChanged();
}

void RegionCanvas::mouseMoveEvent(QMouseEvent* event) {
  if (!anchor_) return;
  choice_ = RegionChoice::fromDrag(*anchor_, toPicture(event->position()), image_.size());
  update();
  Q_EMIT choiceChanged();
}

void RegionCanvas::mouseReleaseEvent(QMouseEvent* event) {
  if (!anchor_) return;
  mouseMoveEvent(event);
  anchor_.reset();
}

}  // namespace tavelin
