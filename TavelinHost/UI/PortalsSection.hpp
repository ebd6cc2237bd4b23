#pragma once

#include <QWidget>
#include <map>

#include "TavelinKit/Foundation/Uuid.hpp"

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
  // Under each portal, the phones watching it now, each with Disconnect.
  void refreshWatchers();

 private:
  AppModel& model_;
  QVBoxLayout* rows_;
  std::map<Uuid, QVBoxLayout*> watchers_;  // each portal row's list of watching phones
};

}  // namespace tavelin
