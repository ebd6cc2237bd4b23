#include "TavelinHost/UI/MainWindow.hpp"

#include <QApplication>
#include <QBoxLayout>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QDockWidget>
#include <QFontDatabase>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolBar>
#include <QToolButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/ApprovalsSection.hpp"
#include "TavelinHost/UI/BannerLane.hpp"
#include "TavelinHost/UI/ConnectionCard.hpp"
#include "TavelinHost/UI/DeviceHistorySheet.hpp"
#include "TavelinHost/UI/DevicesSection.hpp"
#include "TavelinHost/UI/EditPortalSheet.hpp"
#include "TavelinHost/UI/MoveWindowSheet.hpp"
#include "TavelinHost/UI/PortalFlowSheet.hpp"
#include "TavelinHost/UI/PortalsSection.hpp"
#include "TavelinHost/UI/ScreenRegionSheet.hpp"
#include "TavelinHost/UI/SettingsDialog.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"
#include "TavelinHost/UI/VirtualDisplayViews.hpp"

namespace tavelin {

namespace {

QString activityLine(const LogEntry& entry) {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(entry.timestamp.time_since_epoch());
  const QString time = QDateTime::fromSecsSinceEpoch(seconds.count())
                           .toLocalTime()
                           .toString(QStringLiteral("HH:mm:ss"));
  return time + QStringLiteral("  [") + QString::fromStdString(entry.category) +
         QStringLiteral("] ") + QString::fromStdString(entry.message);
}

}  // namespace

MainWindow::MainWindow(AppModel& model, QWidget* parent) : QMainWindow(parent), model_(model) {
  setObjectName(QStringLiteral("main"));
  setWindowTitle(QStringLiteral("Tavelin"));
  setWindowIcon(symbolIcon(QStringLiteral("tavelin")));
  resize(800, 640);
  setUnifiedTitleAndToolBarOnMac(true);

  // ---- Actions
  auto* newPortal =
      new QAction(symbolIcon(QStringLiteral("plus")), QStringLiteral("New Portal"), this);
  newPortal->setToolTip(QStringLiteral("Create a portal (Ctrl+N)"));
  connect(newPortal, &QAction::triggered, this, [this] {
    model_.setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
  });
  activityAction_ =
      new QAction(symbolIcon(QStringLiteral("sidebar")), QStringLiteral("Activity"), this);
  activityAction_->setCheckable(true);
  activityAction_->setToolTip(QStringLiteral("Show activity log (Ctrl+Alt+L)"));
  activityAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L));
  connect(activityAction_, &QAction::toggled, this,
          [this](bool on) { model_.setShowActivity(on); });
  auto* settings =
      new QAction(symbolIcon(QStringLiteral("settings")), QStringLiteral("Settings\u2026"), this);
  settings->setShortcut(QKeySequence::Preferences);
  connect(settings, &QAction::triggered, this, &MainWindow::showSettings);
  auto* openInBrowser =
      new QAction(symbolIcon(QStringLiteral("browser")), QStringLiteral("Open in Browser"), this);
  connect(openInBrowser, &QAction::triggered, this,
          [this] { model_.connection().openInBrowser(); });
  auto* copyLink =
      new QAction(symbolIcon(QStringLiteral("copy")), QStringLiteral("Copy Link"), this);
  connect(copyLink, &QAction::triggered, this, [this] { model_.connection().copyLink(); });
  auto* shareLink =
      new QAction(symbolIcon(QStringLiteral("share")), QStringLiteral("Share Link"), this);
  // One step that leaves nothing on any phone; pairings stay.
  auto* stopAll =
      new QAction(symbolIcon(QStringLiteral("stop")), QStringLiteral("Stop All Sharing"), this);
  stopAll->setEnabled(model_.sharing().isAnythingShared());
  connect(stopAll, &QAction::triggered, this, [this] { model_.sharing().stopAllSharing(); });
  connect(&model_.sharing(), &PortalSharing::portalsChanged, stopAll,
          [this, stopAll] { stopAll->setEnabled(model_.sharing().isAnythingShared()); });
  auto* revokeAll = new QAction(QStringLiteral("Revoke All Access\u2026"), this);
  connect(revokeAll, &QAction::triggered, this, &MainWindow::revokeAllAccess);
  auto* virtualDisplay =
      new QAction(symbolIcon(QStringLiteral("display")), QStringLiteral("Virtual Display"), this);
  connect(virtualDisplay, &QAction::triggered, this, &MainWindow::showVirtualDisplayWindow);
  auto* quit = new QAction(QStringLiteral("Quit"), this);
  quit->setShortcut(QKeySequence::Quit);
  // Quits also while closing the window would leave the host in the tray.
  connect(quit, &QAction::triggered, this, [this] {
    keepRunningOnClose = nullptr;
    close();
    QCoreApplication::quit();
  });

  // ---- Menus
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  auto* newPortalMenu = file->addAction(QStringLiteral("New Portal\u2026"));
  newPortalMenu->setShortcut(QKeySequence::New);
  connect(newPortalMenu, &QAction::triggered, newPortal, &QAction::trigger);
  file->addSeparator();
  file->addAction(settings);
  file->addSeparator();
  file->addAction(quit);
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  view->addAction(activityAction_);
  view->addAction(virtualDisplay);

  // ---- Toolbar
  auto* toolbar = addToolBar(QStringLiteral("Toolbar"));
  toolbar->setObjectName(QStringLiteral("toolbar"));
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  toolbar->addAction(newPortal);
  // Found at once: one step that leaves nothing on any phone.
  toolbar->addAction(stopAll);
  toolbar->widgetForAction(stopAll)->setObjectName(QStringLiteral("stopAll"));
  auto* spacer = new QWidget(toolbar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  toolbar->addWidget(spacer);
  more_ = ui::moreActionsButton(toolbar);
  more_->setText(QStringLiteral("More"));
  more_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  QMenu* moreMenu = more_->menu();
  moreMenu->addAction(openInBrowser);
  moreMenu->addAction(copyLink);
  moreMenu->addAction(shareLink);
  moreMenu->addSeparator();
  moreMenu->addAction(revokeAll);
  moreMenu->addSeparator();
  moreMenu->addAction(settings);
  toolbar->addWidget(more_);
  toolbar->addAction(activityAction_);
  // A toolbar's buttons take no focus of their own; here some of them are the only way to
  // their actions, so Tab reaches every one.
  for (auto* button : toolbar->findChildren<QToolButton*>()) button->setFocusPolicy(Qt::TabFocus);

  // ---- Content
  auto* scroll = new QScrollArea(this);
  scroll_ = scroll;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* content = new QWidget(scroll);
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(18, 12, 18, 18);
  column->setSpacing(10);
  column->addWidget(new BannerLane(model_, content));
  column->addWidget(new ApprovalsSection(model_, content));
  // How to connect on the left, what is shared and who watches on the right, where the
  // window is wide enough for both; one column otherwise.
  columns_ = new QBoxLayout(QBoxLayout::TopToBottom);
  columns_->setSpacing(18);
  auto* left = new QVBoxLayout;
  left->setSpacing(10);
  left->addWidget(
      ui::sectionHeading(QStringLiteral("wifi"), QStringLiteral("Connection"), content));
  auto* connectionFrame = ui::card(content);
  auto* connectionLayout = new QVBoxLayout(connectionFrame);
  connectionLayout->setContentsMargins(0, 0, 0, 0);
  connection_ = new ConnectionCard(model_, connectionFrame);
  connectionLayout->addWidget(connection_);
  left->addWidget(connectionFrame);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->setSpacing(10);
  right->addWidget(new PortalsSection(model_, content));
  right->addWidget(new DevicesSection(model_, content));
  // The card is one of this window's children, so it goes before the window does.
  right->addWidget(new VirtualDisplayCard(
      model_, [this] { showVirtualDisplayWindow(); }, content));
  right->addStretch();
  columns_->addLayout(left, 1);
  columns_->addLayout(right, 1);
  column->addLayout(columns_);
  column->addStretch();
  scroll->setWidget(content);
  setCentralWidget(scroll);
  connect(shareLink, &QAction::triggered, connection_, &ConnectionCard::shareLink);

  // ---- Activity
  activity_ = new QDockWidget(QStringLiteral("Activity"), this);
  activity_->setObjectName(QStringLiteral("ActivityInspector"));
  activity_->setFeatures(QDockWidget::DockWidgetClosable);
  auto* panel = new QWidget(activity_);
  auto* panelLayout = new QVBoxLayout(panel);
  activityText_ = new QPlainTextEdit(panel);
  activityText_->setReadOnly(true);
  activityText_->setLineWrapMode(QPlainTextEdit::NoWrap);
  activityText_->setAccessibleName(QStringLiteral("Activity log"));
  activityText_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  panelLayout->addWidget(activityText_, 1);
  auto* copy = new QPushButton(symbolIcon(QStringLiteral("copy")), QStringLiteral("Copy"), panel);
  copy->setToolTip(QStringLiteral("Copy the activity log"));
  copy->setAccessibleName(QStringLiteral("Copy the activity log"));
  connect(copy, &QPushButton::clicked, this,
          [this] { QGuiApplication::clipboard()->setText(activityText_->toPlainText()); });
  auto* copyRow = new QHBoxLayout;
  copyRow->addStretch();
  copyRow->addWidget(copy);
  panelLayout->addLayout(copyRow);
  activity_->setWidget(panel);
  addDockWidget(Qt::RightDockWidgetArea, activity_);
  placeActivity();
  activity_->setVisible(model_.showActivity());
  connect(activity_, &QDockWidget::visibilityChanged, this, [this](bool visible) {
    // Closing the dock with its own button turns the log off, like the toolbar's toggle.
    if (!visible && !placingActivity_ && isVisible() && !activity_->isVisible()) {
      model_.setShowActivity(false);
    }
  });
  connect(&model_, &AppModel::showActivityChanged, this, [this] {
    activityAction_->setChecked(model_.showActivity());
    activity_->setVisible(model_.showActivity());
    arrangeColumns();
  });
  connect(&model_.activity(), &ActivityLog::linesChanged, this, &MainWindow::refreshActivity);
  refreshActivity();

  connect(&model_, &AppModel::sheetChanged, this, &MainWindow::showSheet);
  connect(&model_.diagnostics(), &HostDiagnostics::errorMessageChanged, this,
          &MainWindow::showError);
}

MainWindow::~MainWindow() {
  // The dock is hidden as the window's children go; that is no choice of the user's.
  activity_->disconnect(this);
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!shownBefore_) {
    // At the top, with nothing below it focused: the first control that would take the focus
    // sits part-way down and would scroll the view to itself.
    shownBefore_ = true;
    scroll_->setFocus(Qt::OtherFocusReason);
    scroll_->verticalScrollBar()->setValue(0);
  }
  if (onShown) onShown();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  placeActivity();
  arrangeColumns();
}

void MainWindow::arrangeColumns() {
  // Two columns of about 560 pixels each, with the margins between and around them.
  constexpr int wideEnough = 1160;
  const int room =
      width() - (dockWidgetArea(activity_) == Qt::RightDockWidgetArea && activity_->isVisible()
                     ? activity_->width()
                     : 0);
  columns_->setDirection(room >= wideEnough ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
}

void MainWindow::placeActivity() {
  // The sections need about 560 pixels and the log about 340 beside them.
  constexpr int wideEnough = 1000;
  const Qt::DockWidgetArea wanted =
      width() >= wideEnough ? Qt::RightDockWidgetArea : Qt::BottomDockWidgetArea;
  if (dockWidgetArea(activity_) == wanted) return;
  placingActivity_ = true;
  const bool visible = model_.showActivity();
  addDockWidget(wanted, activity_);
  if (wanted == Qt::RightDockWidgetArea) {
    activity_->setMinimumSize(320, 0);
  } else {
    activity_->setMinimumSize(0, 140);
    resizeDocks({activity_}, {height() / 3}, Qt::Vertical);
  }
  activity_->setVisible(visible);
  placingActivity_ = false;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (keepRunningOnClose && keepRunningOnClose()) {
    event->ignore();
    hide();
    model_.activity().add("Host", "Tavelin runs on in the tray; its menu quits it");
    return;
  }
  QMainWindow::closeEvent(event);
}

void MainWindow::refreshActivity() {
  QStringList lines;
  for (const LogEntry& entry : model_.activity().lines()) lines << activityLine(entry);
  QScrollBar* bar = activityText_->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  activityText_->setPlainText(lines.join(QLatin1Char('\n')));
  if (atEnd) bar->setValue(bar->maximum());
}

void MainWindow::showSettings() {
  if (!settings_) {
    settings_ = new SettingsDialog(model_, this);
    settings_->setAttribute(Qt::WA_DeleteOnClose);
  }
  settings_->show();
  settings_->raise();
  settings_->activateWindow();
}

void MainWindow::showVirtualDisplayWindow() {
  if (!virtualDisplayWindow_) {
    virtualDisplayWindow_ = new VirtualDisplayWindow(model_, this);
    virtualDisplayWindow_->setAttribute(Qt::WA_DeleteOnClose);
  }
  virtualDisplayWindow_->show();
  virtualDisplayWindow_->raise();
  virtualDisplayWindow_->activateWindow();
}

void MainWindow::revokeAllAccess() {
  const bool yes = ui::confirm(this, {QStringLiteral("Revoke access for all devices?"),
                                      QStringLiteral("Every paired device is disconnected and "
                                                     "must pair again."),
                                      QStringLiteral("Revoke All")});
  if (yes) model_.phones().revokeAll();
}

void MainWindow::showSheet() {
  if (sheetDialog_) {
    QDialog* old = sheetDialog_;
    sheetDialog_ = nullptr;
    old->disconnect(this);
    old->close();
    old->deleteLater();
  }
  const auto sheet = model_.sheet();
  if (!sheet) return;
  QDialog* dialog = nullptr;
  switch (sheet->kind) {
    case SheetKind::Kind::create: dialog = new PortalFlowSheet(model_, this); break;
    case SheetKind::Kind::edit:
      if (sheet->portal) dialog = new EditPortalSheet(model_, *sheet->portal, this);
      break;
    case SheetKind::Kind::deviceHistory:
      if (sheet->device) dialog = new DeviceHistorySheet(model_, *sheet->device, this);
      break;
    case SheetKind::Kind::moveWindow:
      dialog = new MoveWindowSheet(model_, sheet->toVirtual, this);
      break;
    case SheetKind::Kind::screenRegion:
      dialog = new ScreenRegionSheet(model_, sheet->portal, this);
      break;
  }
  if (!dialog) return;
  sheetDialog_ = dialog;
  connect(dialog, &QDialog::finished, this, [this, dialog] {
    if (sheetDialog_ != dialog) return;
    sheetDialog_ = nullptr;
    dialog->deleteLater();
    model_.setSheet(std::nullopt);
  });
  dialog->setWindowModality(Qt::WindowModal);
  dialog->open();
}

void MainWindow::showError() {
  const auto message = model_.diagnostics().errorMessage();
  if (!message) return;
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Tavelin"), *message,
                              QMessageBox::Ok, this);
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this,
          [this] { model_.diagnostics().setErrorMessage(std::nullopt); });
  box->open();
}

}  // namespace tavelin
