#pragma once

#include <QDialog>
#include <optional>

#include "TavelinHost/UI/PictureCanvas.hpp"
#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/WindowInfo.hpp"

class QLabel;
class QPushButton;
class QStackedWidget;

namespace tavelin {

class AppModel;
class WindowPicker;

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
