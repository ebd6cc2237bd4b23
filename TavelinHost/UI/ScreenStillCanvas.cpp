#include "TavelinHost/UI/ScreenStillCanvas.hpp"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "TavelinHost/RegionSelectionOverlay/RegionSelectionOverlay.hpp"

namespace tavelin {

// ---- ScreenStillMapping

QPointF ScreenStillMapping::toScreen(QPointF picturePoint) const {
  if (!isValid()) return {display.x, display.y};
  const double width = picture.width(), height = picture.height();
  // Multiplying before dividing keeps the far edge exact: width × w / width is w.
  return {display.x + std::clamp(picturePoint.x(), 0.0, width) * display.width / width,
          display.y + std::clamp(picturePoint.y(), 0.0, height) * display.height / height};
}

QRectF ScreenStillMapping::toPicture(const ScreenRect& rect) const {
  if (!isValid()) return {};
  const double sx = picture.width() / display.width, sy = picture.height() / display.height;
  return {(rect.x - display.x) * sx, (rect.y - display.y) * sy, rect.width * sx, rect.height * sy};
}

ScreenRect ScreenStillMapping::selection(QPointF from, QPointF to) const {
  return SelectionGeometry::dragRect(toScreen(from), toScreen(to));
}

ScreenRect ScreenStillMapping::fitted(const ScreenRect& rect) const {
  const double width = std::clamp(rect.width, 1.0, std::max(1.0, display.width));
  const double height = std::clamp(rect.height, 1.0, std::max(1.0, display.height));
  return {std::clamp(rect.x, display.x, display.right() - width),
          std::clamp(rect.y, display.y, display.bottom() - height), width, height};
}

bool ScreenStillMapping::isUsable(const ScreenRect& rect) {
  return rect.width >= SelectionGeometry::minimumSide &&
         rect.height >= SelectionGeometry::minimumSide;
}

QString selectionText(const ScreenRect& rect) {
  auto whole = [](double value) { return QString::number(roundToInteger(value)); };
  return whole(rect.width) + QStringLiteral(" \u00D7 ") + whole(rect.height) +
         QStringLiteral(" at ") + whole(rect.x) + QStringLiteral(", ") + whole(rect.y);
}

// ---- ScreenStillCanvas

ScreenStillCanvas::ScreenStillCanvas(QWidget* parent) : QWidget(parent) {
  setMinimumSize(420, 240);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setCursor(Qt::CrossCursor);
  setFocusPolicy(Qt::StrongFocus);
}

void ScreenStillCanvas::setStill(const QImage& image, const ScreenRect& display) {
  image_ = image;
  mapping_ = {display, image.size()};
  anchor_.reset();
  changeSelection(std::nullopt);
  update();
}

void ScreenStillCanvas::clear() { setStill({}, {}); }

void ScreenStillCanvas::setSelection(std::optional<ScreenRect> selection) {
  if (selection && mapping_.isValid()) selection = mapping_.fitted(*selection);
  changeSelection(mapping_.isValid() ? selection : std::nullopt);
}

void ScreenStillCanvas::changeSelection(std::optional<ScreenRect> selection) {
  if (selection == selection_) return;
  selection_ = selection;
  setAccessibleDescription(selection_ ? QStringLiteral("Selected ") + selectionText(*selection_)
                                      : QStringLiteral("Nothing selected"));
  update();
  Q_EMIT selectionChanged();
}

QRectF ScreenStillCanvas::pictureArea() const {
  if (image_.isNull()) return {};
  QSizeF size = image_.size();
  size.scale(QSizeF(width(), height()), Qt::KeepAspectRatio);
  return {QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size};
}

QPointF ScreenStillCanvas::toPicture(QPointF widget) const {
  const QRectF area = pictureArea();
  if (area.isEmpty()) return {};
  return {(widget.x() - area.x()) * image_.width() / area.width(),
          (widget.y() - area.y()) * image_.height() / area.height()};
}

QPointF ScreenStillCanvas::toWidget(QPointF picture) const {
  const QRectF area = pictureArea();
  if (area.isEmpty()) return {};
  return {area.x() + picture.x() * area.width() / image_.width(),
          area.y() + picture.y() * area.height() / image_.height()};
}

void ScreenStillCanvas::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF area = pictureArea();
  if (area.isEmpty()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(area, image_);
  if (!selection_) return;
  const QRectF part = mapping_.toPicture(*selection_);
  const QRectF chosen(toWidget(part.topLeft()), toWidget(part.bottomRight()));
  // What stays off the phone is dimmed, so the part that will be shared stands out.
  QPainterPath outside;
  outside.addRect(area);
  outside.addRect(chosen);
  painter.fillPath(outside, QColor(0, 0, 0, 120));
  const QColor accent = palette().color(QPalette::Highlight);
  painter.setPen(QPen(accent, hasFocus() ? 2.5 : 1.5));
  painter.drawRect(chosen);

  const QString badge = QString::number(roundToInteger(selection_->width)) +
                        QStringLiteral(" \u00D7 ") +
                        QString::number(roundToInteger(selection_->height));
  const QFontMetricsF metrics(font());
  const QSizeF plate(metrics.horizontalAdvance(badge) + 12, metrics.height() + 6);
  const double top = chosen.top() - plate.height() - 4 >= area.top()
                         ? chosen.top() - plate.height() - 4
                         : chosen.top() + 4;
  const QRectF badgeRect(QPointF(std::clamp(chosen.left(), area.left(),
                                            std::max(area.left(), area.right() - plate.width())),
                                 top),
                         plate);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(13, 13, 13, 217));
  painter.drawRoundedRect(badgeRect, 4, 4);
  painter.setPen(Qt::white);
  painter.drawText(badgeRect, Qt::AlignCenter, badge);
}

void ScreenStillCanvas::mousePressEvent(QMouseEvent* event) {
  if (image_.isNull() || event->button() != Qt::LeftButton) return;
  setFocus(Qt::MouseFocusReason);
  anchor_ = toPicture(event->position());
  changeSelection(mapping_.selection(*anchor_, *anchor_));
}

void ScreenStillCanvas::mouseMoveEvent(QMouseEvent* event) {
  if (!anchor_) return;
  changeSelection(mapping_.selection(*anchor_, toPicture(event->position())));
}

void ScreenStillCanvas::mouseReleaseEvent(QMouseEvent* event) {
  if (!anchor_ || event->button() != Qt::LeftButton) return;
  mouseMoveEvent(event);
  anchor_.reset();
}

void ScreenStillCanvas::keyPressEvent(QKeyEvent* event) {
  double dx = 0, dy = 0;
  switch (event->key()) {
    case Qt::Key_Left: dx = -1; break;
    case Qt::Key_Right: dx = 1; break;
    case Qt::Key_Up: dy = -1; break;
    case Qt::Key_Down: dy = 1; break;
    default: QWidget::keyPressEvent(event); return;
  }
  if (!mapping_.isValid() || anchor_) {
    event->accept();
    return;
  }
  const Qt::KeyboardModifiers modifiers = event->modifiers();
  const double step = modifiers.testFlag(Qt::ControlModifier) ? 10 : 1;
  const ScreenRect& display = mapping_.display;
  ScreenRect rect = selection_.value_or(
      ScreenRect{static_cast<double>(roundToInteger(display.x + display.width / 4)),
                 static_cast<double>(roundToInteger(display.y + display.height / 4)),
                 static_cast<double>(roundToInteger(display.width / 2)),
                 static_cast<double>(roundToInteger(display.height / 2))});
  if (!selection_) {
    // The first arrow only shows where the keyboard's rectangle starts.
  } else if (modifiers.testFlag(Qt::ShiftModifier)) {
    // Resizing moves the right and bottom edges; the rectangle keeps its shareable minimum.
    const double least = SelectionGeometry::minimumSide;
    rect.width =
        std::clamp(rect.width + dx * step, least, std::max(least, display.right() - rect.x));
    rect.height =
        std::clamp(rect.height + dy * step, least, std::max(least, display.bottom() - rect.y));
  } else {
    rect.x += dx * step;
    rect.y += dy * step;
  }
  setSelection(rect);
  event->accept();
}

}  // namespace tavelin
