#include <QPainter>
#include <QRegion>
#include <QWidget>
#include <algorithm>

#include "TavelinHost/RegionSelectionOverlay/RegionSelectionOverlay.hpp"

namespace tavelin {
namespace {

// The frame's window: exactly the region grown by the outset, shaped to the ring around the
// region. The shape is what keeps the region itself visible and the frame out of its capture,
// whether or not a compositing manager honours the transparent background.
class BorderWindow final : public QWidget {
 public:
  BorderWindow()
      // Bypassing the window manager keeps it from placing, decorating or listing the window;
      // input and focus go to whatever lies under the frame.
      : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                             Qt::X11BypassWindowManagerHint | Qt::WindowTransparentForInput |
                             Qt::WindowDoesNotAcceptFocus) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
  }

  static QRegion ring(QSize size) {
    constexpr int band = RegionBorderOverlay::outset;
    return QRegion(0, 0, size.width(), size.height()) -
           QRegion(band, band, size.width() - 2 * band, size.height() - 2 * band);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor colour = palette().color(QPalette::Highlight);
    colour.setAlphaF(0.9f);
    // A 2-point line centred 1 point in covers the outer two pixels and nothing more.
    painter.setPen(QPen(colour, RegionBorderOverlay::outset));
    painter.setBrush(Qt::NoBrush);
    constexpr qreal half = RegionBorderOverlay::outset / 2.0;
    painter.drawRect(QRectF(rect()).adjusted(half, half, -half, -half));
  }
};

}  // namespace

RegionBorderOverlay::RegionBorderOverlay() = default;

RegionBorderOverlay::~RegionBorderOverlay() = default;

void RegionBorderOverlay::show(const ScreenRect& region) {
  const auto left = roundToInteger(region.x);
  const auto top = roundToInteger(region.y);
  const auto right = std::max(left, roundToInteger(region.right()));
  const auto bottom = std::max(top, roundToInteger(region.bottom()));
  const QRect frame(static_cast<int>(left) - outset, static_cast<int>(top) - outset,
                    static_cast<int>(right - left) + 2 * outset,
                    static_cast<int>(bottom - top) + 2 * outset);
  if (!window_) window_ = std::make_unique<BorderWindow>();
  window_->setGeometry(frame);
  window_->setMask(BorderWindow::ring(frame.size()));
  window_->show();
  // Nothing restacks a window that bypasses the window manager, so each show brings it back on
  // top of windows raised since.
  window_->raise();
}

void RegionBorderOverlay::hide() {
  if (window_) window_->hide();
}

QWidget* RegionBorderOverlay::window() const { return window_.get(); }

}  // namespace tavelin
