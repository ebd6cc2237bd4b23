#include "TavelinHost/UI/WindowPicker.hpp"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"

namespace tavelin {

bool windowMatches(const WindowInfo& window, const QString& query) {
  const QString wanted = query.trimmed();
  return wanted.isEmpty() ||
         QString::fromStdString(window.title).contains(wanted, Qt::CaseInsensitive) ||
         QString::fromStdString(window.applicationName).contains(wanted, Qt::CaseInsensitive);
}

WindowPicker::WindowPicker(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QHBoxLayout;
  search_ = new QLineEdit(this);
  search_->setPlaceholderText(QStringLiteral("Search"));
  search_->setAccessibleName(QStringLiteral("Search"));
  search_->setClearButtonEnabled(true);
  search_->addAction(symbolIcon(QStringLiteral("search")), QLineEdit::LeadingPosition);
  bar->addWidget(search_, 1);
  auto* reload =
      new QPushButton(symbolIcon(QStringLiteral("refresh")), QStringLiteral("Refresh"), this);
  bar->addWidget(reload);
  layout->addLayout(bar);
  list_ = new QListWidget(this);
  list_->setAccessibleName(QStringLiteral("Windows"));
  list_->setUniformItemSizes(true);
  layout->addWidget(list_, 1);
  status_ = ui::noteLabel(QString(), this);
  status_->setAlignment(Qt::AlignCenter);
  layout->addWidget(status_);
  if (const QString note = model_.desktop().windowCaptureNote(); !note.isEmpty()) {
    auto* caveat = ui::noteLabel(note, this);
    caveat->setWordWrap(true);
    layout->addWidget(caveat);
  }
  if (model_.desktop().choosesWindowsInDesktop()) {
    // This desktop lists no other application's windows: its own chooser picks one.
    auto* choose = new QPushButton(QStringLiteral("Choose a Window on the Desktop\u2026"), this);
    layout->addWidget(choose);
    connect(choose, &QPushButton::clicked, this, [this, choose] {
      choose->setEnabled(false);
      desktopNote_ = QStringLiteral("The desktop asks which window to share.");
      applyFilter();
      model_.desktop().chooseWindowInDesktop(
          [self = QPointer(this), choose](std::optional<WindowInfo> window, const QString& why) {
            if (!self) return;
            choose->setEnabled(true);
            self->desktopNote_ =
                window ? QString() : QStringLiteral("No window was chosen: ") + why + '.';
            self->refresh();
            if (window) Q_EMIT self->chosen(*window);
          });
    });
  }

  connect(search_, &QLineEdit::textChanged, this, &WindowPicker::applyFilter);
  connect(reload, &QPushButton::clicked, this, &WindowPicker::refresh);
  connect(list_, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
    const int row = list_->row(item);
    if (row >= 0 && row < static_cast<int>(shown_.size())) Q_EMIT chosen(shown_[row]);
  });
  connect(list_, &QListWidget::currentRowChanged, this, &WindowPicker::selectionChanged);
  setFocusProxy(search_);
  refresh();
}

void WindowPicker::refresh() {
  loading_ = true;
  const int generation = ++generation_;
  applyFilter();
  model_.desktop().listWindows(
      [self = QPointer(this), generation](std::vector<WindowInfo> windows) {
        if (!self || generation != self->generation_) return;
        self->loading_ = false;
        self->windows_ = std::move(windows);
        self->applyFilter();
      });
}

void WindowPicker::setQuery(const QString& query) { search_->setText(query); }

std::optional<WindowInfo> WindowPicker::selected() const {
  const int row = list_->currentRow();
  if (row < 0 || row >= static_cast<int>(shown_.size())) return std::nullopt;
  return shown_[row];
}

QString WindowPicker::statusText() const { return status_->text(); }

void WindowPicker::applyFilter() {
  shown_.clear();
  list_->clear();
  for (const WindowInfo& window : windows_) {
    if (!windowMatches(window, search_->text())) continue;
    shown_.push_back(window);
    const QString application = QString::fromStdString(window.applicationName);
    const QString title = QString::fromStdString(window.title);
    auto* item = new QListWidgetItem(
        title.isEmpty() ? application : application + QStringLiteral(" \u2014 ") + title);
    item->setToolTip(QString::number(static_cast<int>(window.frame.width)) +
                     QStringLiteral(" \u00D7 ") +
                     QString::number(static_cast<int>(window.frame.height)));
    list_->addItem(item);
  }
  if (!shown_.empty()) list_->setCurrentRow(0);
  QString status;
  if (!desktopNote_.isEmpty()) {
    status = desktopNote_;
  } else if (loading_) {
    status = QStringLiteral("Looking for windows\u2026");
  } else if (!model_.diagnostics().canCapture()) {
    status = QStringLiteral("The desktop does not let Tavelin capture the screen.");
  } else if (shown_.empty() && !search_->text().trimmed().isEmpty()) {
    status = QStringLiteral("No window matches \u201C") + search_->text().trimmed() +
             QStringLiteral("\u201D.");
  } else if (shown_.empty() && !model_.desktop().noWindowsNote().isEmpty()) {
    status = model_.desktop().noWindowsNote();
  } else if (shown_.empty() && model_.desktop().choosesWindowsInDesktop()) {
    status = QStringLiteral(
        "This desktop does not show Tavelin its windows: choose one on the "
        "desktop, and it is listed here while it is shared.");
  } else if (shown_.empty()) {
    status = QStringLiteral("No windows to share. Open the application, then press Refresh.");
  }
  status_->setText(status);
  status_->setVisible(!status.isEmpty());
  Q_EMIT selectionChanged();
}

}  // namespace tavelin
