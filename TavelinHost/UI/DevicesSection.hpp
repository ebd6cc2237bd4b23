#pragma once

#include <QWidget>
#include <map>

#include "TavelinKit/Foundation/Uuid.hpp"

class QVBoxLayout;
class QLabel;

namespace tavelin {

class AppModel;

// The paired phones, whether they are connected, and access to revoke.
// A main window section: shows what the model publishes and keeps nothing else. GUI thread.
class DevicesSection : public QWidget {
  Q_OBJECT
 public:
  explicit DevicesSection(AppModel& model, QWidget* parent = nullptr);
  void rebuild();
  void refreshStatus();

 private:
  AppModel& model_;
  QVBoxLayout* rows_;
  std::map<Uuid, QLabel*> status_;    // each row's "Connected · N frames" line
  std::map<Uuid, QLabel*> watching_;  // and which portal it watches
};

}  // namespace tavelin
