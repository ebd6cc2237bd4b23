#include "TavelinHost/UI/PortalFlowSheet.hpp"

#include <QBoxLayout>
#include <QCommandLinkButton>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"
#include "TavelinHost/UI/WindowPicker.hpp"

namespace tavelin {

// ---- PortalFlowSheet

PortalFlowSheet::PortalFlowSheet(AppModel& model, QWidget* parent)
    : QDialog(parent), model_(model) {
  setWindowTitle(QStringLiteral("Create Portal"));
  resize(620, 520);
  auto* layout = new QVBoxLayout(this);
  steps_ = new QStackedWidget(this);
  chooseStep_ = makeChooseStep();
  windowStep_ = makeWindowStep();
  regionStep_ = makeRegionStep();
  steps_->addWidget(chooseStep_);
  steps_->addWidget(windowStep_);
  steps_->addWidget(regionStep_);
  layout->addWidget(steps_, 1);

  auto* buttons = new QHBoxLayout;
  back_ = new QPushButton(QStringLiteral("Back"), this);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  buttons->addWidget(back_);
  buttons->addStretch();
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(back_, &QPushButton::clicked, this, &PortalFlowSheet::back);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  // Choosing a new target for a portal starts at its window.
  if (const auto retarget = model_.retargetingPortal()) {
    kind_ = retarget->type() == PortalType::windowRegion ? Kind::windowRegion : Kind::window;
    steps_->setCurrentWidget(windowStep_);
    picker_->refresh();
  }
  back_->setVisible(false);
}

QWidget* PortalFlowSheet::currentStep() const { return steps_->currentWidget(); }

QWidget* PortalFlowSheet::makeChooseStep() {
  auto* step = new QWidget(this);
  step->setObjectName(QStringLiteral("ChooseTypeStep"));
  auto* layout = new QVBoxLayout(step);
  struct Choice {
    Kind kind;
    const char* symbol;
    QString title;
    QString detail;
  };
  const Choice choices[] = {
      {Kind::screenRegion, "region", QStringLiteral("Screen region"),
       model_.desktop().placesOverlays()
           ? QStringLiteral("Drag a rectangle anywhere on the desktop.")
           : QStringLiteral("Drag a rectangle on a picture of the screen.")},
      {Kind::window, "window", QStringLiteral("Application window"),
       QStringLiteral("One window, even when it is covered or off-screen.")},
      {Kind::windowRegion, "window-region", QStringLiteral("Region inside a window"),
       QStringLiteral("Pick a window, then a part of it.")},
  };
  for (const Choice& choice : choices) {
    auto* button = new QCommandLinkButton(choice.title, choice.detail, step);
    button->setIcon(symbolIcon(QLatin1String(choice.symbol)));
    button->setAccessibleName(choice.title);
    button->setAccessibleDescription(choice.detail);
    connect(button, &QCommandLinkButton::clicked, this,
            [this, kind = choice.kind] { choose(kind); });
    layout->addWidget(button);
  }
  layout->addStretch();
  layout->addWidget(ui::noteLabel(QStringLiteral("A portal shares exactly one thing."), step));
  return step;
}

QWidget* PortalFlowSheet::makeWindowStep() {
  auto* step = new QWidget(this);
  step->setObjectName(QStringLiteral("WindowPickStep"));
  auto* layout = new QVBoxLayout(step);
  layout->addWidget(ui::plainLabel(QStringLiteral("Pick the window your phone should see."), step));
  picker_ = new WindowPicker(model_, step);
  layout->addWidget(picker_, 1);
  auto* row = new QHBoxLayout;
  row->addStretch();
  next_ = new QPushButton(QStringLiteral("Choose Window"), step);
  next_->setDefault(true);
  row->addWidget(next_);
  layout->addLayout(row);
  connect(picker_, &WindowPicker::chosen, this, &PortalFlowSheet::pickWindow);
  connect(picker_, &WindowPicker::selectionChanged, this,
          [this] { next_->setEnabled(picker_->selected().has_value()); });
  connect(next_, &QPushButton::clicked, this, [this] {
    if (const auto window = picker_->selected()) pickWindow(*window);
  });
  return step;
}

QWidget* PortalFlowSheet::makeRegionStep() {
  auto* step = new QWidget(this);
  step->setObjectName(QStringLiteral("RegionPickStep"));
  auto* layout = new QVBoxLayout(step);
  regionTitle_ = ui::plainLabel(QString(), step);
  QFont bold = regionTitle_->font();
  bold.setBold(true);
  regionTitle_->setFont(bold);
  layout->addWidget(regionTitle_);
  canvas_ = new RegionCanvas(step);
  canvas_->setAccessibleName(QStringLiteral("Window preview"));
  layout->addWidget(canvas_, 1);
  regionStatus_ = ui::noteLabel(QString(), step);
  regionStatus_->setAlignment(Qt::AlignCenter);
  layout->addWidget(regionStatus_);
  layout->addWidget(
      ui::noteLabel(QStringLiteral("Drag to choose the part of the window to share."), step));
  auto* row = new QHBoxLayout;
  sizeLabel_ = ui::plainLabel(QString(), step);
  normalizedLabel_ = ui::noteLabel(QString(), step);
  row->addWidget(sizeLabel_);
  row->addWidget(normalizedLabel_, 1);
  wholeWindow_ = new QPushButton(QStringLiteral("Whole window"), step);
  useRegion_ = new QPushButton(QStringLiteral("Use Region"), step);
  useRegion_->setDefault(true);
  row->addWidget(wholeWindow_);
  row->addWidget(useRegion_);
  layout->addLayout(row);
  connect(canvas_, &RegionCanvas::choiceChanged, this, &PortalFlowSheet::refreshChoice);
  connect(wholeWindow_, &QPushButton::clicked, this, &PortalFlowSheet::useWholeWindow);
  connect(useRegion_, &QPushButton::clicked, this, &PortalFlowSheet::useRegion);
  return step;
}

void PortalFlowSheet::choose(Kind kind) {
  kind_ = kind;
  if (kind == Kind::screenRegion) {
    // The sheet makes way for the on-screen selection.
    accept();
    model_.beginScreenRegionSelection();
    return;
  }
  steps_->setCurrentWidget(windowStep_);
  back_->setVisible(true);
  picker_->refresh();
  picker_->setFocus();
}

void PortalFlowSheet::pickWindow(const WindowInfo& window) {
  if (kind_ == Kind::window) {
    model_.targets().chooseWindow(window, model_.retargetingPortal());
    accept();
    return;
  }
  window_ = window;
  steps_->setCurrentWidget(regionStep_);
  back_->setVisible(true);
  const QString name =
      QString::fromStdString(window.title.empty() ? window.applicationName : window.title);
  regionTitle_->setText(QStringLiteral("Select a region in ") + name);
  canvas_->setImage({});
  regionStatus_->setText(QStringLiteral("Capturing preview\u2026"));
  regionStatus_->show();
  wholeWindow_->setEnabled(false);
  refreshChoice();
  const int request = ++stillRequest_;
  model_.desktop().captureWindowStill(window.id, [self = QPointer(this), request](QImage still) {
    if (!self || request != self->stillRequest_) return;
    if (still.isNull()) {
      self->regionStatus_->setText(
          QStringLiteral("Could not capture this window. Bring it back on screen and try again."));
      return;
    }
    self->regionStatus_->hide();
    self->canvas_->setImage(still);
    self->wholeWindow_->setEnabled(true);
  });
}

void PortalFlowSheet::back() {
  if (steps_->currentWidget() == regionStep_) {
    ++stillRequest_;
    steps_->setCurrentWidget(windowStep_);
    back_->setVisible(!model_.retargetingPortal());
  } else if (steps_->currentWidget() == windowStep_ && !model_.retargetingPortal()) {
    steps_->setCurrentWidget(chooseStep_);
    back_->setVisible(false);
  }
}

void PortalFlowSheet::refreshChoice() {
  const auto choice = canvas_->choice();
  const bool usable = choice && !choice->pixels.isEmpty();
  sizeLabel_->setText(usable ? choice->sizeText() : QString());
  normalizedLabel_->setText(usable ? choice->normalizedText() : QString());
  useRegion_->setEnabled(usable);
}

void PortalFlowSheet::useRegion() {
  const auto choice = canvas_->choice();
  if (!window_ || !choice || choice->pixels.isEmpty()) return;
  model_.targets().chooseWindowRegion(*window_, choice->normalized, choice->pixels,
                                      model_.retargetingPortal());
  accept();
}

void PortalFlowSheet::useWholeWindow() {
  if (!window_ || canvas_->image().isNull()) return;
  const QSize size = canvas_->image().size();
  model_.targets().chooseWindowRegion(*window_, NormalizedRect::full,
                                      PixelRect{0, 0, size.width(), size.height()},
                                      model_.retargetingPortal());
  accept();
}

}  // namespace tavelin
