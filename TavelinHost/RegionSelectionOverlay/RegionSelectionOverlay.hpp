#pragma once

#include <QPointF>
#include <QRect>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "TavelinKit/Model/Geometry.hpp"

class QWidget;

namespace tavelin {

// The rectangle a drag from `anchor` to `current` selects, in global screen points: corners
// rounded to whole points; nothing when either side is under `minimumSide`.
namespace SelectionGeometry {
inline constexpr double minimumSide = 8;
ScreenRect dragRect(QPointF anchor, QPointF current);
std::optional<ScreenRect> selection(std::optional<QPointF> anchor, std::optional<QPointF> current);
}  // namespace SelectionGeometry

// Lets the user drag a rectangle anywhere on the desktop, across all screens: one frameless,
// always-on-top window per screen dims what is under it, shows a hint until the drag begins,
// then the selection with its size. Escape cancels. Lives on the GUI thread; the overlay on
// screen is owned by the class (starting a new selection replaces it), so callers need not
// keep it.
class RegionSelectionOverlay {
 public:
  using Completion = std::function<void(std::optional<ScreenRect>)>;

  // Shows the overlay on every screen; `completion` is called exactly once, with the selected
  // rectangle in global points or with nothing when the user cancels.
  static void present(Completion completion);
  // The overlay being shown, if any (for tests and the shell).
  static RegionSelectionOverlay* current();

  // Its windows, one per screen in the order of QGuiApplication::screens().
  std::vector<QWidget*> windows() const;
  // Ends the selection as if the user had cancelled.
  void cancel();

  ~RegionSelectionOverlay();

  struct State;  // what the windows draw: anchor, current, hint

 private:
  RegionSelectionOverlay() = default;
  std::unique_ptr<State> state_;
  friend struct State;
};

// A thin frame drawn just outside a shared screen region, so the user sees what the phone
// sees. It takes no input and lies outside the captured area, so it never shows in the stream.
class RegionBorderOverlay {
 public:
  static constexpr int outset = 2;  // points between the region and the outside of the frame

  RegionBorderOverlay();
  ~RegionBorderOverlay();
  RegionBorderOverlay(const RegionBorderOverlay&) = delete;
  RegionBorderOverlay& operator=(const RegionBorderOverlay&) = delete;

  // Shows the frame around `region` (global points), or moves it there.
  void show(const ScreenRect& region);
  void hide();
  // The frame's window once shown (its geometry is the region grown by `outset`).
  QWidget* window() const;

 private:
  std::unique_ptr<QWidget> window_;
};

}  // namespace tavelin
