#include "TavelinHost/UI/EditPortalSheet.hpp"

#include <QBoxLayout>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

EditPortalSheet::EditPortalSheet(AppModel& model, Portal portal, QWidget* parent)
    : QDialog(parent), model_(model), portal_(std::move(portal)) {
  setWindowTitle(QStringLiteral("Edit Portal"));
  setMinimumWidth(460);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  name_ = new QLineEdit(ui::qt(portal_.name), this);
  name_->setAccessibleName(QStringLiteral("Name"));
  form->addRow(QStringLiteral("Name"), name_);
  layout->addLayout(form);
  layout->addWidget(ui::noteLabel(ui::qt(portal_.summary()), this));

  QString retargetText;
  if (const auto* region = std::get_if<ScreenRegionPortalData>(&portal_.payload.value)) {
    option_ = new QCheckBox(QStringLiteral("Outline the region on the desktop"), this);
    option_->setChecked(region->showBorder);
    layout->addWidget(option_);
    layout->addWidget(ui::noteLabel(
        QStringLiteral("A thin frame marks what is shared. It never appears in the stream."),
        this));
    if (!model_.desktop().placesOverlays()) layout->addWidget(ui::borderNotice(this));
    retargetText = QStringLiteral("Select Region Again\u2026");
  } else if (const auto* part = std::get_if<WindowRegionPortalData>(&portal_.payload.value)) {
    option_ = new QCheckBox(QStringLiteral("Keep pixel size when the window resizes"), this);
    option_->setChecked(part->resizeBehavior == RegionResizeBehavior::keepPixelSize);
    layout->addWidget(option_);
    layout->addWidget(
        ui::noteLabel(QStringLiteral("Off: the region scales with the window (default)."), this));
    retargetText = QStringLiteral("Change Window and Region\u2026");
  } else {
    retargetText = QStringLiteral("Change Target Window\u2026");
  }
  auto* retarget = new QPushButton(retargetText, this);
  auto* retargetRow = new QHBoxLayout;
  retargetRow->addWidget(retarget);
  retargetRow->addStretch();
  layout->addLayout(retargetRow);
  layout->addStretch();

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel | QDialogButtonBox::Save, this);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &EditPortalSheet::save);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(retarget, &QPushButton::clicked, this, [this] {
    // The edit sheet makes way for the target choice, which opens its own sheet or overlay.
    const Portal target = portal_;
    AppModel& owner = model_;
    reject();
    owner.changeTarget(target);
  });
}

Portal EditPortalSheet::edited() const {
  Portal portal = portal_;
  const QString name = name_->text().trimmed();
  if (!name.isEmpty()) portal.name = name.toStdString();
  if (auto* region = std::get_if<ScreenRegionPortalData>(&portal.payload.value)) {
    region->showBorder = option_->isChecked();
  } else if (auto* part = std::get_if<WindowRegionPortalData>(&portal.payload.value)) {
    part->resizeBehavior = option_->isChecked() ? RegionResizeBehavior::keepPixelSize
                                                : RegionResizeBehavior::scaleWithWindow;
  }
  return portal;
}

void EditPortalSheet::save() {
  const Portal portal = edited();
  if (!(portal == portal_)) model_.sharing().update(portal);
  accept();
}

}  // namespace tavelin
