#include "TavelinHost/UI/PortalFlowSheet.hpp"

#include <QBoxLayout>
#include <QCommandLinkButton>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <algorithm>
#include <cmath>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"
#include "TavelinHost/UI/WindowPicker.hpp"

namespace tavelin {

// ---- RegionChoice

RegionChoice RegionChoice::fromDrag(QPointF from, QPointF to, QSize size) {
  const double width = size.width(), height = size.height();
  auto clampX = [&](double x) { return std::clamp(x, 0.0, width); };
  auto clampY = [&](double y) { return std::clamp(y, 0.0, height); };
  const auto left = static_cast<std::int64_t>(std::lround(clampX(std::min(from.x(), to.x()))));
  const auto top = static_cast<std::int64_t>(std::lround(clampY(std::min(from.y(), to.y()))));
  const auto right = static_cast<std::int64_t>(std::lround(clampX(std::max(from.x(), to.x()))));
  const auto bottom = static_cast<std::int64_t>(std::lround(clampY(std::max(from.y(), to.y()))));
  RegionChoice choice;
  choice.pixels = {left, top, right - left, bottom - top};
  if (width > 0 && height > 0) {
    choice.normalized = {static_cast<double>(left) / width, static_cast<double>(top) / height,
                         static_cast<double>(right - left) / width,
                         static_cast<double>(bottom - top) / height};
  }
  return choice;
}

QString RegionChoice::sizeText() const {
  return QString::number(pixels.width) + QStringLiteral(" \u00D7 ") +
         QString::number(pixels.height) + QStringLiteral(" px");
}

QString RegionChoice::normalizedText() const {
  return QString::asprintf("normalized %.3f, %.3f, %.3f \u00D7 %.3f", normalized.x, normalized.y,
                           normalized.width, normalized.height);
}

// ---- RegionCanvas

RegionCanvas::RegionCanvas(QWidget* parent) : QWidget(parent) {
  setMinimumSize(360, 220);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setCursor(Qt::CrossCursor);
  setAccessibleName(QStringLiteral("Window preview"));
}

void RegionCanvas::setImage(const QImage& image) {
  image_ = image;
  choice_.reset();
  anchor_.reset();
  update();
  Q_EMIT choiceChanged();
}

QRectF RegionCanvas::pictureArea() const {
  if (image_.isNull()) return {};
  QSizeF size = image_.size();
  size.scale(QSizeF(width(), height()), Qt::KeepAspectRatio);
  return {QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size};
}

QPointF RegionCanvas::toPicture(QPointF widget) const {
  const QRectF area = pictureArea();
  if (area.isEmpty()) return {};
  return {(widget.x() - area.x()) * image_.width() / area.width(),
          (widget.y() - area.y()) * image_.height() / area.height()};
}

QPointF RegionCanvas::toWidget(QPointF picture) const {
  const QRectF area = pictureArea();
  if (image_.isNull()) return {};
  return {area.x() + picture.x() * area.width() / image_.width(),
          area.y() + picture.y() * area.height() / image_.height()};
}

void RegionCanvas::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF area = pictureArea();
  if (area.isEmpty()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(area, image_);
  if (!choice_) return;
  const PixelRect& p = choice_->pixels;
  const QRectF chosen(
      toWidget(QPointF(static_cast<double>(p.x), static_cast<double>(p.y))),
      toWidget(QPointF(static_cast<double>(p.right()), static_cast<double>(p.bottom()))));
  // Dim what is left out, so the part that will be shared stands out.
  QPainterPath outside;
  outside.addRect(area);
  outside.addRect(chosen);
  painter.fillPath(outside, QColor(0, 0, 0, 110));
  painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
  painter.drawRect(chosen);
}

void RegionCanvas::mousePressEvent(QMouseEvent* event) {
  if (image_.isNull() || event->button() != Qt::LeftButton) return;
  anchor_ = toPicture(event->position());
  choice_ = RegionChoice::fromDrag(*anchor_, *anchor_, image_.size());
  update();
  Q_EMIT choiceChanged();
}

void RegionCanvas::mouseMoveEvent(QMouseEvent* event) {
  if (!anchor_) return;
  choice_ = RegionChoice::fromDrag(*anchor_, toPicture(event->position()), image_.size());
  update();
  Q_EMIT choiceChanged();
}

void RegionCanvas::mouseReleaseEvent(QMouseEvent* event) {
  if (!anchor_) return;
  mouseMoveEvent(event);
  anchor_.reset();
}

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
      {Kind::screenRegion, "rectangle.dashed", QStringLiteral("Screen region"),
       QStringLiteral("Drag a rectangle anywhere on the desktop.")},
      {Kind::window, "macwindow", QStringLiteral("Application window"),
       QStringLiteral("One window, even when it is covered or off-screen.")},
      {Kind::windowRegion, "rectangle.split.2x1", QStringLiteral("Region inside a window"),
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
    model_.completeWindowSelection(window, model_.retargetingPortal());
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
  model_.captureWindowStill(window.id, [self = QPointer(this), request](QImage still) {
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
  model_.completeWindowRegionSelection(*window_, choice->normalized, choice->pixels,
                                       model_.retargetingPortal());
  accept();
}

void PortalFlowSheet::useWholeWindow() {
  if (!window_ || canvas_->image().isNull()) return;
  const QSize size = canvas_->image().size();
  model_.completeWindowRegionSelection(*window_, NormalizedRect::full,
                                       PixelRect{0, 0, size.width(), size.height()},
                                       model_.retargetingPortal());
  accept();
}

}  // namespace tavelin
