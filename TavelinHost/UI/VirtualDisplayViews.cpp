#include "TavelinHost/UI/VirtualDisplayViews.hpp"

#include <QBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStackedLayout>
#include <algorithm>
#include <cmath>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/Capture/VirtualDisplay.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

// ---- DisplayPreview

DisplayPreview::DisplayPreview(bool selectable, QWidget* parent)
    : QWidget(parent), selectable_(selectable) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setMinimumSize(160, 90);
  setAccessibleName(QStringLiteral("Virtual display preview"));
  if (selectable_) setCursor(Qt::CrossCursor);
}

void DisplayPreview::setImage(const QImage& image) {
  image_ = image;
  update();
}

QRectF DisplayPreview::pictureArea() const {
  if (image_.isNull()) return {};
  QSizeF size = image_.size();
  size.scale(QSizeF(width(), height()), Qt::KeepAspectRatio);
  return {QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size};
}

QPointF DisplayPreview::fractionAt(QPointF position) const {
  const QRectF area = pictureArea();
  if (area.isEmpty()) return {};
  return {std::clamp((position.x() - area.x()) / area.width(), 0.0, 1.0),
          std::clamp((position.y() - area.y()) / area.height(), 0.0, 1.0)};
}

void DisplayPreview::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF area = pictureArea();
  if (area.isEmpty()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(area, image_);
  if (selection_.isEmpty()) return;
  const QRectF chosen(area.x() + selection_.x() * area.width(),
                      area.y() + selection_.y() * area.height(), selection_.width() * area.width(),
                      selection_.height() * area.height());
  QPen pen(palette().color(QPalette::Highlight), 2);
  painter.setPen(pen);
  painter.drawRect(chosen);
}

void DisplayPreview::mousePressEvent(QMouseEvent* event) {
  if (!selectable_ || image_.isNull() || event->button() != Qt::LeftButton) return;
  anchor_ = fractionAt(event->position());
  selection_ = {};
  update();
}

void DisplayPreview::mouseMoveEvent(QMouseEvent* event) {
  if (!anchor_) return;
  selection_ = QRectF(*anchor_, fractionAt(event->position())).normalized();
  update();
}

void DisplayPreview::mouseReleaseEvent(QMouseEvent* event) {
  if (!anchor_) return;
  selection_ = QRectF(*anchor_, fractionAt(event->position())).normalized();
  anchor_.reset();
  update();
  Q_EMIT selectionChanged();
}

// ---- VirtualDisplayFeed

VirtualDisplayFeed::VirtualDisplayFeed(AppModel& model, int fps, int maxDimension, QObject* parent)
    : QObject(parent), model_(model), fps_(fps), maxDimension_(maxDimension) {
  connect(&model_, &AppModel::virtualDisplayActiveChanged, this, &VirtualDisplayFeed::restart);
}

VirtualDisplayFeed::~VirtualDisplayFeed() {
  if (preview_) preview_->stop();
}

void VirtualDisplayFeed::setRunning(bool running) {
  if (running_ == running) return;
  running_ = running;
  restart();
}

void VirtualDisplayFeed::restart() {
  if (preview_) preview_->stop();
  preview_.reset();
  const auto display = model_.virtualDisplayBounds();
  if (!running_ || !display || !model_.environment().capture) return;
  preview_ =
      std::make_shared<LiveDisplayPreview>(model_.environment().capture, model_.mainExecutor());
  preview_->onFrame = [this](const LiveDisplayPreview::Image& image) {
    const QImage view(image.pixels->data(), static_cast<int>(image.size.width),
                      static_cast<int>(image.size.height), image.stride, QImage::Format_RGB32);
    Q_EMIT frame(view.copy());
  };
  preview_->start(display->id, fps_, maxDimension_);
}

// ---- VirtualDisplayCard

VirtualDisplayCard::VirtualDisplayCard(AppModel& model, std::function<void()> openWindow,
                                       QWidget* parent)
    : QWidget(parent), model_(model), feed_(new VirtualDisplayFeed(model, 12, 640, this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(
      ui::sectionHeading(QStringLiteral("display"), QStringLiteral("Virtual display"), this));
  auto* frame = ui::card(this);
  auto* inside = new QVBoxLayout(frame);

  absent_ = new QWidget(frame);
  auto* absent = new QVBoxLayout(absent_);
  absent->setContentsMargins(0, 0, 0, 0);
  auto* title = ui::plainLabel(QStringLiteral("No virtual display"), absent_);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  absent->addWidget(title);
  absent->addWidget(ui::noteLabel(
      QStringLiteral("An extra headless screen you can park a window on and stream \u2014 it "
                     "renders even when you are not looking at it, so a portal from it never "
                     "freezes."),
      absent_));
  auto* create = new QPushButton(QStringLiteral("Create virtual display"), absent_);
  connect(create, &QPushButton::clicked, this, [this] { model_.createVirtualDisplay(); });
  auto* createRow = new QHBoxLayout;
  createRow->addWidget(create);
  createRow->addStretch();
  absent->addLayout(createRow);
  inside->addWidget(absent_);

  present_ = new QWidget(frame);
  auto* present = new QVBoxLayout(present_);
  present->setContentsMargins(0, 0, 0, 0);
  preview_ = new DisplayPreview(false, present_);
  preview_->setMinimumHeight(180);
  present->addWidget(preview_);
  info_ = ui::plainLabel(QString(), present_);
  present->addWidget(info_);
  auto* actions = new QHBoxLayout;
  auto* open = new QPushButton(QStringLiteral("Open window"), present_);
  auto* moveHere = new QPushButton(QStringLiteral("Move window here"), present_);
  auto* bringBack = new QPushButton(QStringLiteral("Bring back"), present_);
  auto* remove =
      new QPushButton(symbolIcon(QStringLiteral("trash")), QStringLiteral("Remove"), present_);
  connect(open, &QPushButton::clicked, this, [openWindow = std::move(openWindow)] {
    if (openWindow) openWindow();
  });
  connect(moveHere, &QPushButton::clicked, this, [this] {
    model_.setSheet(SheetKind{SheetKind::Kind::moveWindow, {}, true, {}});
  });
  connect(bringBack, &QPushButton::clicked, this, [this] {
    model_.setSheet(SheetKind{SheetKind::Kind::moveWindow, {}, false, {}});
  });
  connect(remove, &QPushButton::clicked, this, [this] { model_.removeVirtualDisplay(); });
  for (auto* button : {open, moveHere, bringBack, remove}) actions->addWidget(button);
  actions->addStretch();
  present->addLayout(actions);
  inside->addWidget(present_);
  layout->addWidget(frame);
  layout->addWidget(ui::noteLabel(
      QStringLiteral("Experimental. Uses a RandR monitor that no screen shows; on Xorg the "
                     "pointer cannot reach it, so input to windows there is limited."),
      this));

  connect(feed_, &VirtualDisplayFeed::frame, preview_, &DisplayPreview::setImage);
  connect(&model_, &AppModel::virtualDisplayActiveChanged, this, &VirtualDisplayCard::refresh);
  connect(&model_, &AppModel::virtualDisplayInfoChanged, this, &VirtualDisplayCard::refresh);
  refresh();
}

void VirtualDisplayCard::refresh() {
  const bool active = model_.virtualDisplayActive();
  absent_->setVisible(!active);
  present_->setVisible(active);
  info_->setText(model_.virtualDisplayInfo().value_or(QString()));
  if (!active) preview_->setImage({});
}

void VirtualDisplayCard::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  feed_->setRunning(true);
}

void VirtualDisplayCard::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  feed_->setRunning(false);
}

// ---- VirtualDisplayWindow

VirtualDisplayWindow::VirtualDisplayWindow(AppModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window),
      model_(model),
      feed_(new VirtualDisplayFeed(model, 30, 0, this)) {
  setWindowTitle(QStringLiteral("Virtual Display"));
  resize(900, 620);
  pages_ = new QStackedLayout(this);

  missing_ = new QWidget(this);
  auto* missing = new QVBoxLayout(missing_);
  auto* text = ui::plainLabel(QStringLiteral("Create a virtual display in the main window first."),
                              missing_);
  text->setAlignment(Qt::AlignCenter);
  missing->addWidget(text);
  pages_->addWidget(missing_);

  live_ = new QWidget(this);
  auto* live = new QVBoxLayout(live_);
  connecting_ = ui::plainLabel(QStringLiteral("Connecting to the display\u2026"), live_);
  connecting_->setAlignment(Qt::AlignCenter);
  live->addWidget(connecting_);
  preview_ = new DisplayPreview(true, live_);
  live->addWidget(preview_, 1);
  auto* actions = new QHBoxLayout;
  auto* shareWhole = new QPushButton(QStringLiteral("Share whole display"), live_);
  shareRegion_ = new QPushButton(QStringLiteral("Share selected region"), live_);
  shareRegion_->setEnabled(false);
  actions->addWidget(shareWhole);
  actions->addWidget(shareRegion_);
  actions->addWidget(ui::noteLabel(QStringLiteral("\u00B7 drag to pick a region"), live_));
  actions->addStretch();
  live->addLayout(actions);
  pages_->addWidget(live_);

  connect(feed_, &VirtualDisplayFeed::frame, this, [this](const QImage& image) {
    connecting_->hide();
    preview_->setImage(image);
  });
  connect(preview_, &DisplayPreview::selectionChanged, this,
          [this] { shareRegion_->setEnabled(!preview_->selection().isEmpty()); });
  connect(shareWhole, &QPushButton::clicked, this, [this] {
    if (const auto display = model_.virtualDisplayBounds()) {
      model_.createVirtualScreenRegion(display->bounds);
    }
  });
  connect(shareRegion_, &QPushButton::clicked, this, [this] {
    const auto display = model_.virtualDisplayBounds();
    const QRectF part = preview_->selection();
    if (!display || part.isEmpty()) return;
    const ScreenRect& bounds = display->bounds;
    model_.createVirtualScreenRegion(ScreenRect{std::round(bounds.x + part.x() * bounds.width),
                                                std::round(bounds.y + part.y() * bounds.height),
                                                std::round(part.width() * bounds.width),
                                                std::round(part.height() * bounds.height)});
  });
  connect(&model_, &AppModel::virtualDisplayActiveChanged, this, &VirtualDisplayWindow::refresh);
  refresh();
}

void VirtualDisplayWindow::refresh() {
  const bool active = model_.virtualDisplayActive();
  pages_->setCurrentWidget(active ? live_ : missing_);
  if (!active) {
    preview_->setImage({});
    connecting_->show();
  }
}

void VirtualDisplayWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  feed_->setRunning(true);
}

void VirtualDisplayWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  feed_->setRunning(false);
}

}  // namespace tavelin
