#include "TavelinHost/RegionSelectionOverlay/RegionSelectionOverlay.hpp"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QRegion>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <utility>

namespace tavelin {

namespace SelectionGeometry {

ScreenRect dragRect(QPointF anchor, QPointF current) {
  // Round the corners, not the size, so that the rectangle does not drift by half a point
  // depending on which way the user dragged.
  const auto left = roundToInteger(std::min(anchor.x(), current.x()));
  const auto top = roundToInteger(std::min(anchor.y(), current.y()));
  const auto right = roundToInteger(std::max(anchor.x(), current.x()));
  const auto bottom = roundToInteger(std::max(anchor.y(), current.y()));
  return {static_cast<double>(left), static_cast<double>(top), static_cast<double>(right - left),
          static_cast<double>(bottom - top)};
}

std::optional<ScreenRect> selection(std::optional<QPointF> anchor, std::optional<QPointF> current) {
  if (!anchor || !current) return std::nullopt;
  const ScreenRect rect = dragRect(*anchor, *current);
  if (rect.width < minimumSide || rect.height < minimumSide) return std::nullopt;
  return rect;
}

}  // namespace SelectionGeometry

namespace {

const QColor dimmingColour = QColor::fromRgbF(0.02f, 0.03f, 0.04f, 0.55f);
const QColor plateColour = QColor::fromRgbF(0.05f, 0.05f, 0.05f, 0.85f);
const QString hintText = QStringLiteral(u"Drag to select the portal region  \u00B7  Esc to cancel");

// The hint plate's lower edge, measured from the top of each screen.
constexpr qreal hintPlateBottom = 100;

// Screen coordinates in points are whole numbers once rounded; the clamp only keeps absurd input
// from turning into undefined conversions.
int toInt(double value) { return static_cast<int>(std::clamp(value, -1e9, 1e9)); }

QFont overlayFont(QFontDatabase::SystemFont kind, int pixelSize) {
  QFont font = QFontDatabase::systemFont(kind);
  font.setPixelSize(pixelSize);
  font.setWeight(QFont::Medium);
  return font;
}

void drawPlate(QPainter& painter, const QRectF& plate, qreal radius, const QFont& font,
               const QString& text, QPointF inset) {
  painter.setPen(Qt::NoPen);
  painter.setBrush(plateColour);
  painter.drawRoundedRect(plate, radius, radius);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(plate.adjusted(inset.x(), inset.y(), -inset.x(), -inset.y()),
                   Qt::AlignLeft | Qt::AlignVCenter, text);
}

class SelectionWindow;

// The one overlay on screen, or null. Touched only on the GUI thread.
RegionSelectionOverlay* presented = nullptr;

}  // namespace

struct RegionSelectionOverlay::State {
  RegionSelectionOverlay* owner = nullptr;
  Completion completion;  // empty once it has fired
  std::vector<QPointer<SelectionWindow>> windows;
  std::optional<QPointF> anchor;  // global points
  std::optional<QPointF> current;

  void press(QPointF global) {
    anchor = global;
    current = global;
    repaint();
  }
  void drag(QPointF global) {
    if (!anchor) return;
    current = global;
    repaint();
  }
  void release() { finish(SelectionGeometry::selection(anchor, current)); }
  void repaint();
  // Takes the windows down and calls the completion. The overlay (and this state) is deleted
  // on the way out, so the caller must not touch either afterwards.
  void finish(std::optional<ScreenRect> result);
};

namespace {

// One screen's part of the overlay. Without a compositing manager an X window cannot show what
// lies under it, so each window paints the picture its screen showed when the overlay appeared,
// dimmed everywhere except inside the selection; with a compositor this looks the same.
class SelectionWindow final : public QWidget {
 public:
  SelectionWindow(RegionSelectionOverlay::State* state, QScreen* screen, QPixmap snapshot)
      // Bypassing the window manager keeps it from decorating, placing or shrinking the window
      // to the work area, so the overlay covers panels too and maps at once, which the keyboard
      // grab needs.
      : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                             Qt::X11BypassWindowManagerHint),
        state_(state),
        origin_(screen->geometry().topLeft()),
        snapshot_(std::move(snapshot)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::CrossCursor);
    setScreen(screen);
    setGeometry(screen->geometry());
  }

  // Cuts the link to the finished overlay; the window only waits to be deleted after this.
  void detach() { state_ = nullptr; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    if (snapshot_.isNull()) {
      painter.fillRect(rect(), Qt::black);
    } else {
      painter.drawPixmap(rect(), snapshot_);
    }

    const bool dragging = state_ != nullptr && state_->anchor && state_->current;
    QRect hole;  // the selection in this window's coordinates; may lie partly or wholly outside
    ScreenRect selection;
    if (dragging) {
      selection = SelectionGeometry::dragRect(*state_->anchor, *state_->current);
      hole = QRect(toInt(selection.x) - origin_.x(), toInt(selection.y) - origin_.y(),
                   toInt(selection.width), toInt(selection.height));
    }

    QRegion dimmed(rect());
    if (!hole.isEmpty()) dimmed -= hole;
    painter.setClipRegion(dimmed);
    painter.fillRect(rect(), dimmingColour);
    painter.setClipping(false);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    if (!dragging) {
      drawHint(painter);
      return;
    }
    if (hole.isEmpty()) return;
    // Grown by half the line width, so the line lies wholly outside the selected pixels.
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(hole).adjusted(-0.75, -0.75, 0.75, 0.75));
    drawBadge(painter, hole, selection);
  }

  void mousePressEvent(QMouseEvent* event) override {
    if (state_ != nullptr && event->button() == Qt::LeftButton) {
      state_->press(event->globalPosition());
    }
  }
  // The pointer stays grabbed by the window the drag began in, so this window keeps receiving
  // the drag when it crosses onto another screen; global positions make that seamless.
  void mouseMoveEvent(QMouseEvent* event) override {
    if (state_ != nullptr) state_->drag(event->globalPosition());
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (state_ != nullptr && event->button() == Qt::LeftButton) state_->release();
  }
  void keyPressEvent(QKeyEvent* event) override {
    if (state_ != nullptr && event->key() == Qt::Key_Escape) {
      state_->finish(std::nullopt);
      return;
    }
    QWidget::keyPressEvent(event);
  }

 private:
  void drawHint(QPainter& painter) const {
    const QFont font = overlayFont(QFontDatabase::GeneralFont, 13);
    const QFontMetricsF metrics(font);
    const qreal textWidth = metrics.horizontalAdvance(hintText);
    const qreal plateHeight = metrics.height() + 20;
    const QRectF plate((width() - textWidth) / 2 - 16, hintPlateBottom - plateHeight,
                       textWidth + 32, plateHeight);
    drawPlate(painter, plate, 8, font, hintText, {16, 10});
  }

  // The size sits on a plate just above the selection's top-left corner, and moves down over
  // the selection when the screen has no room above it.
  void drawBadge(QPainter& painter, const QRect& hole, const ScreenRect& selection) const {
    const QFont font = overlayFont(QFontDatabase::FixedFont, 12);
    const QString text = QStringLiteral(u"%1 \u00D7 %2")
                             .arg(static_cast<qlonglong>(selection.width))
                             .arg(static_cast<qlonglong>(selection.height));
    const QFontMetricsF metrics(font);
    const qreal textHeight = metrics.height();
    const qreal plateHeight = textHeight + 8;
    const qreal bottom = std::max<qreal>(hole.top() - 8, textHeight + 12);
    const QRectF plate(hole.left(), bottom - plateHeight, metrics.horizontalAdvance(text) + 16,
                       plateHeight);
    drawPlate(painter, plate, 5, font, text, {8, 4});
  }

  RegionSelectionOverlay::State* state_;  // null once the overlay has finished
  QPoint origin_;                         // the screen's top-left corner in global points
  QPixmap snapshot_;
};

}  // namespace

void RegionSelectionOverlay::State::repaint() {
  for (const QPointer<SelectionWindow>& window : windows) {
    if (window) window->update();
  }
}

void RegionSelectionOverlay::State::finish(std::optional<ScreenRect> result) {
  for (const QPointer<SelectionWindow>& window : windows) {
    if (!window) continue;
    window->detach();
    if (QWidget::keyboardGrabber() == window) window->releaseKeyboard();
    window->hide();
    // Later: this may run inside one of these windows' own event handlers.
    window->deleteLater();
  }
  windows.clear();
  Completion done = std::exchange(completion, nullptr);
  // No longer the current overlay when the completion runs, so one that starts the next
  // selection does not end this one again; deleted only once the call has returned, as this
  // code runs inside it.
  std::unique_ptr<RegionSelectionOverlay> self(
      presented == owner ? std::exchange(presented, nullptr) : nullptr);
  if (done) done(result);
}

void RegionSelectionOverlay::present(Completion completion) {
  // The selection being replaced ends with nothing. Its completion may itself start one, which
  // is replaced the same way.
  while (presented != nullptr) presented->cancel();

  std::unique_ptr<RegionSelectionOverlay> overlay(new RegionSelectionOverlay());
  overlay->state_ = std::make_unique<State>();
  State& state = *overlay->state_;
  state.owner = overlay.get();
  state.completion = std::move(completion);

  const QList<QScreen*> screens = QGuiApplication::screens();
  // Every picture is taken before the first overlay window maps, so none shows an overlay.
  std::vector<QPixmap> snapshots;
  snapshots.reserve(static_cast<std::size_t>(screens.size()));
  for (QScreen* screen : screens) snapshots.push_back(screen->grabWindow(0));
  for (qsizetype i = 0; i < screens.size(); ++i) {
    state.windows.emplace_back(
        new SelectionWindow(&state, screens[i], std::move(snapshots[static_cast<std::size_t>(i)])));
  }
  presented = overlay.release();

  for (const QPointer<SelectionWindow>& window : state.windows) window->show();
  if (!state.windows.empty()) {
    SelectionWindow* first = state.windows.front();
    first->raise();
    first->activateWindow();
    first->setFocus();
    // Escape must reach the overlay even while another application holds the focus.
    first->grabKeyboard();
  }
}

RegionSelectionOverlay* RegionSelectionOverlay::current() { return presented; }

std::vector<QWidget*> RegionSelectionOverlay::windows() const {
  std::vector<QWidget*> list;
  for (const QPointer<SelectionWindow>& window : state_->windows) list.push_back(window.data());
  return list;
}

void RegionSelectionOverlay::cancel() { state_->finish(std::nullopt); }

RegionSelectionOverlay::~RegionSelectionOverlay() = default;

}  // namespace tavelin
