#include "TavelinHost/UI/ScreenRegionSheet.hpp"

#include <QBoxLayout>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ScreenStillCanvas.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

namespace {

QString displayText(int number, const DisplayInfo& display) {
  const ScreenRect& b = display.bounds;
  return QStringLiteral("Display %1 \u2014 ").arg(number) +
         QString::number(roundToInteger(b.width)) + QStringLiteral(" \u00D7 ") +
         QString::number(roundToInteger(b.height)) + QStringLiteral(" at ") +
         QString::number(roundToInteger(b.x)) + QStringLiteral(", ") +
         QString::number(roundToInteger(b.y));
}

}  // namespace

ScreenRegionSheet::ScreenRegionSheet(AppModel& model, std::optional<Portal> retarget,
                                     QWidget* parent)
    : QDialog(parent), model_(model), retarget_(std::move(retarget)) {
  setWindowTitle(QStringLiteral("Select Screen Region"));
  resize(760, 560);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(
      ui::boldLabel(QStringLiteral("Drag a rectangle on the picture of your screen."), this));

  chooser_ = new QComboBox(this);
  chooser_->setAccessibleName(QStringLiteral("Display"));
  displays_ = model_.desktop().displays();
  const auto main = model_.desktop().mainDisplay();
  for (std::size_t i = 0; i < displays_.size(); ++i) {
    chooser_->addItem(displayText(static_cast<int>(i) + 1, displays_[i]));
    if (main && displays_[i].id == main->id) chooser_->setCurrentIndex(static_cast<int>(i));
  }
  chooser_->setVisible(displays_.size() > 1);
  layout->addWidget(chooser_);

  status_ = ui::plainLabel(QString(), this);
  status_->setAlignment(Qt::AlignCenter);
  status_->setWordWrap(true);
  layout->addWidget(status_);
  canvas_ = new ScreenStillCanvas(this);
  canvas_->setAccessibleName(QStringLiteral("Picture of the screen"));
  layout->addWidget(canvas_, 1);
  layout->addWidget(ui::noteLabel(
      QStringLiteral("Arrow keys move the rectangle and Shift+arrow keys resize it, Ctrl for 10 "
                     "points a step. Return uses it, Escape cancels."),
      this));

  auto* row = new QHBoxLayout;
  selection_ = ui::plainLabel(QString(), this);
  selection_->setAccessibleName(QStringLiteral("Selected region"));
  row->addWidget(selection_, 1);
  retry_ = new QPushButton(QStringLiteral("Try Again"), this);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  use_ = new QPushButton(QStringLiteral("Use Region"), this);
  use_->setDefault(true);
  row->addWidget(retry_);
  row->addWidget(cancel);
  row->addWidget(use_);
  layout->addLayout(row);

  connect(chooser_, &QComboBox::currentIndexChanged, this, &ScreenRegionSheet::takePicture);
  connect(canvas_, &ScreenStillCanvas::selectionChanged, this,
          &ScreenRegionSheet::refreshSelection);
  connect(retry_, &QPushButton::clicked, this, &ScreenRegionSheet::takePicture);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(use_, &QPushButton::clicked, this, &ScreenRegionSheet::useRegion);
  refreshSelection();
  takePicture();
}

void ScreenRegionSheet::takePicture() {
  const int request = ++request_;
  canvas_->clear();
  retry_->hide();
  status_->show();
  const int index = chooser_->currentIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= displays_.size()) {
    status_->setText(QStringLiteral("Tavelin finds no display to take a picture of."));
    return;
  }
  status_->setText(QStringLiteral("Taking a picture of the screen\u2026"));
  const DisplayInfo display = displays_[static_cast<std::size_t>(index)];
  model_.desktop().captureDisplayStill(
      display.id, [self = QPointer(this), request, display](QImage still, QString why) {
        if (!self || request != self->request_) return;
        if (still.isNull()) {
          self->status_->setText(why + QStringLiteral(" Try again, or cancel."));
          self->retry_->show();
          return;
        }
        self->status_->hide();
        self->canvas_->setStill(still, display.bounds);
        self->canvas_->setFocus(Qt::OtherFocusReason);
      });
}

void ScreenRegionSheet::refreshSelection() {
  const auto rect = canvas_->selection();
  const bool usable = rect && ScreenStillMapping::isUsable(*rect);
  if (!rect) {
    selection_->setText(QString());
  } else if (usable) {
    selection_->setText(selectionText(*rect));
  } else {
    selection_->setText(QStringLiteral("At least 8 \u00D7 8 points"));
  }
  use_->setEnabled(usable);
}

void ScreenRegionSheet::useRegion() {
  const auto rect = canvas_->selection();
  if (!rect || !ScreenStillMapping::isUsable(*rect)) return;
  model_.targets().chooseScreenRegion(*rect, retarget_);
  accept();
}

}  // namespace tavelin
