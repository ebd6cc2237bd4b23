#pragma once

#include <QDialog>

namespace tavelin {

class AppModel;
class WindowPicker;

// Picks a window to move onto the virtual display, or back to the main screen.
class MoveWindowSheet : public QDialog {
  Q_OBJECT
 public:
  MoveWindowSheet(AppModel& model, bool toVirtual, QWidget* parent = nullptr);
  WindowPicker* picker() const { return picker_; }

 private:
  WindowPicker* picker_;
};

}  // namespace tavelin
