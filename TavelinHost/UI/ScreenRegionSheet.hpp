#pragma once

#include <QDialog>
#include <optional>
#include <vector>

#include "TavelinKit/Model/DisplayInfo.hpp"
#include "TavelinKit/Model/Portal.hpp"

class QComboBox;
class QLabel;
class QPushButton;

namespace tavelin {

class AppModel;
class ScreenStillCanvas;

// "Select Screen Region" where the desktop lets no application place windows over others: a
// still picture of one display, taken when the sheet opens, on which the user drags the region
// to share. It says so while it waits for the picture, and says why when none comes. Use
// Region (or Return) makes the portal, or gives `retarget` its new region; Cancel (or Escape)
// leaves everything as it was.
class ScreenRegionSheet : public QDialog {
  Q_OBJECT
 public:
  ScreenRegionSheet(AppModel& model, std::optional<Portal> retarget, QWidget* parent = nullptr);

  ScreenStillCanvas* canvas() const { return canvas_; }
  QLabel* status() const { return status_; }
  QLabel* selectionLabel() const { return selection_; }
  QComboBox* displayChooser() const { return chooser_; }
  // Takes a new picture of the chosen display.
  void takePicture();
  void useRegion();

 private:
  void refreshSelection();

  AppModel& model_;
  const std::optional<Portal> retarget_;
  std::vector<DisplayInfo> displays_;
  int request_ = 0;  // answers to older requests are dropped
  QComboBox* chooser_;
  QLabel* status_;
  ScreenStillCanvas* canvas_;
  QLabel* selection_;
  QPushButton* retry_;
  QPushButton* use_;
};

}  // namespace tavelin
