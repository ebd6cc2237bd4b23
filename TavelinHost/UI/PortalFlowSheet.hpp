#pragma once

#include <QDialog>
#include <QImage>
#include <optional>

#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "TavelinKit/Model/Geometry.hpp"

class QLabel;
class QPushButton;
class QStackedWidget;

namespace tavelin {

class AppModel;
class WindowPicker;

// The region of a still picture the user dragged, in the picture's pixels, and the texts that
// describe it.
struct RegionChoice {
  NormalizedRect normalized;
  PixelRect pixels;

  // From a drag between two points of a picture of `size` pixels (any order, clamped to it).
  static RegionChoice fromDrag(QPointF from, QPointF to, QSize size);
  QString sizeText() const;        // "<w> × <h> px"
  QString normalizedText() const;  // "normalized 0.100, 0.200, 0.500 × 0.250"
};

// A still picture of a window on which a rectangle can be dragged. GUI thread.
class RegionCanvas : public QWidget {
  Q_OBJECT
 public:
  explicit RegionCanvas(QWidget* parent = nullptr);
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

  QImage image_;
  std::optional<QPointF> anchor_;
  std::optional<RegionChoice> choice_;
};

// "Create Portal": what kind, which window, which part of it. When the model is choosing a
// new target for an existing portal, the sheet starts at the window and completes that
// portal instead of making one. Closing the sheet in any way tells the model it is gone.
class PortalFlowSheet : public QDialog {
  Q_OBJECT
 public:
  enum class Kind { screenRegion, window, windowRegion };

  PortalFlowSheet(AppModel& model, QWidget* parent = nullptr);

  // Steps, for tests and keyboard users alike.
  void choose(Kind kind);
  void pickWindow(const WindowInfo& window);
  void back();
  QWidget* currentStep() const;
  WindowPicker* windowPicker() const { return picker_; }
  RegionCanvas* canvas() const { return canvas_; }
  QLabel* regionTitle() const { return regionTitle_; }
  QLabel* regionStatus() const { return regionStatus_; }
  QLabel* sizeLabel() const { return sizeLabel_; }
  QLabel* normalizedLabel() const { return normalizedLabel_; }
  void useRegion();
  void useWholeWindow();

 private:
  QWidget* makeChooseStep();
  QWidget* makeWindowStep();
  QWidget* makeRegionStep();
  void refreshChoice();

  AppModel& model_;
  std::optional<Kind> kind_;
  std::optional<WindowInfo> window_;
  int stillRequest_ = 0;
  QStackedWidget* steps_;
  QWidget* chooseStep_;
  QWidget* windowStep_;
  QWidget* regionStep_;
  QPushButton* back_;
  WindowPicker* picker_;
  QPushButton* next_;
  RegionCanvas* canvas_;
  QLabel* regionTitle_;
  QLabel* regionStatus_;
  QLabel* sizeLabel_;
  QLabel* normalizedLabel_;
  QPushButton* useRegion_;
  QPushButton* wholeWindow_;
};

}  // namespace tavelin
