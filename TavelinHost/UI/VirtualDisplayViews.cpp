#include "TavelinHost/UI/VirtualDisplayViews.hpp"

#include <QBoxLayout>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QStackedLayout>
#include <cmath>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

// ---- VirtualDisplayFeed

VirtualDisplayFeed::VirtualDisplayFeed(AppModel& model, int fps, int maxDimension, QWidget* viewer)
    : QObject(viewer), model_(model), fps_(fps), maxDimension_(maxDimension) {
  viewer->installEventFilter(this);
  connect(&model_.desktop(), &DesktopModel::virtualDisplayChanged, this,
          &VirtualDisplayFeed::restart);
}

bool VirtualDisplayFeed::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show) setRunning(true);
  if (event->type() == QEvent::Hide) setRunning(false);
  return QObject::eventFilter(watched, event);
}

VirtualDisplayFeed::~VirtualDisplayFeed() = default;

void VirtualDisplayFeed::setRunning(bool running) {
  if (running_ == running) return;
  running_ = running;
  restart();
}

void VirtualDisplayFeed::restart() {
  preview_.reset();
  if (!running_) return;
  // The feed holds the preview, whose frames arrive on the main thread: they stop before the
  // feed goes.
  preview_ = model_.desktop().previewVirtualDisplay(
      fps_, maxDimension_, [this](const QImage& image) { Q_EMIT frame(image); });
}

// ---- VirtualDisplayCard

VirtualDisplayCard::VirtualDisplayCard(AppModel& model, std::function<void()> openWindow,
                                       QWidget* parent)
    : QWidget(parent), model_(model) {
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
  connect(create, &QPushButton::clicked, this, [this] { model_.desktop().createVirtualDisplay(); });
  auto* createRow = new QHBoxLayout;
  createRow->addWidget(create);
  createRow->addStretch();
  absent->addLayout(createRow);
  inside->addWidget(absent_);

  present_ = new QWidget(frame);
  auto* present = new QVBoxLayout(present_);
  present->setContentsMargins(0, 0, 0, 0);
  preview_ = new RegionCanvas(present_);
  preview_->setSelectable(false);
  preview_->setAccessibleName(QStringLiteral("Virtual display preview"));
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
  // A desktop that moves no windows says so at once, rather than offering a list to pick from.
  connect(moveHere, &QPushButton::clicked, this, [this] {
    if (model_.desktop().offerWindowMoves())
      model_.setSheet(SheetKind{SheetKind::Kind::moveWindow, {}, true, {}});
  });
  connect(bringBack, &QPushButton::clicked, this, [this] {
    if (model_.desktop().offerWindowMoves())
      model_.setSheet(SheetKind{SheetKind::Kind::moveWindow, {}, false, {}});
  });
  connect(remove, &QPushButton::clicked, this, [this] { model_.desktop().removeVirtualDisplay(); });
  for (auto* button : {open, moveHere, bringBack, remove}) actions->addWidget(button);
  actions->addStretch();
  present->addLayout(actions);
  inside->addWidget(present_);
  layout->addWidget(frame);
  if (const QString note = model_.desktop().virtualDisplayNote(); !note.isEmpty()) {
    layout->addWidget(ui::noteLabel(note, this));
  }

  auto* feed = new VirtualDisplayFeed(model_, 12, 640, this);
  connect(feed, &VirtualDisplayFeed::frame, preview_, &RegionCanvas::setImage);
  connect(&model_.desktop(), &DesktopModel::virtualDisplayChanged, this,
          &VirtualDisplayCard::refresh);
  refresh();
}

void VirtualDisplayCard::refresh() {
  const bool active = model_.desktop().virtualDisplayActive();
  absent_->setVisible(!active);
  present_->setVisible(active);
  info_->setText(model_.desktop().virtualDisplayInfo().value_or(QString()));
  if (!active) preview_->setImage({});
}

// ---- VirtualDisplayWindow

VirtualDisplayWindow::VirtualDisplayWindow(AppModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model) {
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
  preview_ = new RegionCanvas(live_);
  preview_->setAccessibleName(QStringLiteral("Virtual display preview"));
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

  auto* feed = new VirtualDisplayFeed(model_, 30, 0, this);
  connect(feed, &VirtualDisplayFeed::frame, this, [this](const QImage& image) {
    connecting_->hide();
    preview_->setImage(image);
  });
  connect(preview_, &RegionCanvas::choiceChanged, this, [this] {
    const auto choice = preview_->choice();
    shareRegion_->setEnabled(choice && !choice->pixels.isEmpty());
  });
  connect(shareWhole, &QPushButton::clicked, this, [this] {
    if (const auto display = model_.desktop().virtualDisplayBounds()) {
      model_.targets().chooseVirtualScreenRegion(display->bounds);
    }
  });
  connect(shareRegion_, &QPushButton::clicked, this, [this] {
    const auto display = model_.desktop().virtualDisplayBounds();
    const auto choice = preview_->choice();
    if (!display || !choice || choice->pixels.isEmpty()) return;
    const ScreenRect& bounds = display->bounds;
    const NormalizedRect& part = choice->normalized;
    model_.targets().chooseVirtualScreenRegion(ScreenRect{
        std::round(bounds.x + part.x * bounds.width), std::round(bounds.y + part.y * bounds.height),
        std::round(part.width * bounds.width), std::round(part.height * bounds.height)});
  });
  connect(&model_.desktop(), &DesktopModel::virtualDisplayChanged, this,
          &VirtualDisplayWindow::refresh);
  refresh();
}

void VirtualDisplayWindow::refresh() {
  const bool active = model_.desktop().virtualDisplayActive();
  pages_->setCurrentWidget(active ? live_ : missing_);
  if (!active) {
    preview_->setImage({});
    connecting_->show();
  }
}

}  // namespace tavelin
