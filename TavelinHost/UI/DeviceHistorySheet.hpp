#pragma once

#include <QDialog>

#include "TavelinKit/Pairing/PairedDevice.hpp"

class QListWidget;
class QLabel;

namespace tavelin {

class AppModel;

// A device's activity: when it was added and last used, how often it connected, and each
// connection and disconnection, newest first.
class DeviceHistorySheet : public QDialog {
  Q_OBJECT
 public:
  DeviceHistorySheet(AppModel& model, PairedDevice device, QWidget* parent = nullptr);
  void reload();
  QListWidget* timeline() const { return timeline_; }

 private:
  AppModel& model_;
  const PairedDevice device_;
  QLabel* connections_;
  QListWidget* timeline_;
  QLabel* empty_;
};

}  // namespace tavelin
