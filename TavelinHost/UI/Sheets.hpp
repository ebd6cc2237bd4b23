#pragma once

#include <QDialog>

#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Pairing/PairedDevice.hpp"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QComboBox;
class QLabel;

namespace tavelin {

class AppModel;
class WindowPicker;

// "Edit Portal": its name, its outline or resize rule, and choosing a new target.
class EditPortalSheet : public QDialog {
  Q_OBJECT
 public:
  EditPortalSheet(AppModel& model, Portal portal, QWidget* parent = nullptr);
  // The portal as the sheet would save it now.
  Portal edited() const;
  void save();

 private:
  AppModel& model_;
  const Portal portal_;
  QLineEdit* name_;
  QCheckBox* option_ = nullptr;  // the border, or the pixel-size rule
};

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

// Picks a window to move onto the virtual display, or back to the main screen.
class MoveWindowSheet : public QDialog {
  Q_OBJECT
 public:
  MoveWindowSheet(AppModel& model, bool toVirtual, QWidget* parent = nullptr);
  WindowPicker* picker() const { return picker_; }

 private:
  WindowPicker* picker_;
};

// The settings pane: every change is stored at once.
class SettingsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit SettingsDialog(AppModel& model, QWidget* parent = nullptr);
  void reload();
  QLineEdit* portField() const { return port_; }
  QComboBox* frameRate() const { return frameRate_; }
  QComboBox* quality() const { return quality_; }
  QComboBox* maxFrameSize() const { return maxFrameSize_; }
  QCheckBox* outline() const { return outline_; }

 private:
  void applyPort();
  void store();
  AppModel& model_;
  QLineEdit* port_;
  QComboBox* frameRate_;
  QComboBox* quality_;
  QComboBox* maxFrameSize_;
  QCheckBox* outline_;
  bool loading_ = false;
};

}  // namespace tavelin
