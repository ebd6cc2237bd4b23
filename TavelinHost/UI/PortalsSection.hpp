#pragma once

#include <QWidget>

class QVBoxLayout;

namespace tavelin {

class AppModel;

// The portals: what can be shared, which one phones see first, and its state.
// A main window section: shows what the model publishes and keeps nothing else. GUI thread.
class PortalsSection : public QWidget {
  Q_OBJECT
 public:
  explicit PortalsSection(AppModel& model, QWidget* parent = nullptr);
  void rebuild();
  void refreshStates();

 private:
  AppModel& model_;
  QVBoxLayout* rows_;
};

}  // namespace tavelin
