#pragma once

#include <QWidget>

class QVBoxLayout;
class QCheckBox;

namespace tavelin {

class AppModel;

// Phones waiting for the user's Allow, and whether new phones must wait at all.
// A main window section: shows what the model publishes and keeps nothing else. GUI thread.
class ApprovalsSection : public QWidget {
  Q_OBJECT
 public:
  explicit ApprovalsSection(AppModel& model, QWidget* parent = nullptr);
  void refresh();

 private:
  AppModel& model_;
  QWidget* pending_;
  QVBoxLayout* rows_;
  QCheckBox* requireApproval_;
};

}  // namespace tavelin
