#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QComboBox;

namespace tavelin {

class AppModel;

// The settings pane: every change is stored at once.
class SettingsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit SettingsDialog(AppModel& model, QWidget* parent = nullptr);
  ~SettingsDialog() override;
  void reload();
  QLineEdit* portField() const { return port_; }
  QComboBox* frameRate() const { return frameRate_; }
  QComboBox* quality() const { return quality_; }
  QComboBox* maxFrameSize() const { return maxFrameSize_; }
  QCheckBox* outline() const { return outline_; }
  QCheckBox* withoutDialog() const { return withoutDialog_; }
  QCheckBox* keepInTray() const { return keepInTray_; }
  QCheckBox* openAtLogin() const { return openAtLogin_; }
  // What the size list says of a longest side it does not offer.
  static QString frameSizeText(int maxFrameDimension);

 private:
  void applyPort();
  void store();
  AppModel& model_;
  QLineEdit* port_;
  QComboBox* frameRate_;
  QComboBox* quality_;
  QComboBox* maxFrameSize_;
  QCheckBox* outline_;
  QCheckBox* shareClipboard_;
  QCheckBox* phonesChooseQuality_;
  QCheckBox* withoutDialog_;
  QCheckBox* keepInTray_;
  QCheckBox* openAtLogin_;
  bool loading_ = false;
};

}  // namespace tavelin
