#pragma once

#include <QDialog>

#include "TavelinKit/Model/Portal.hpp"

class QCheckBox;
class QLineEdit;

namespace tavelin {

class AppModel;

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

}  // namespace tavelin
