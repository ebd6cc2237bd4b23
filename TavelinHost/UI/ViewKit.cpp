#include "TavelinHost/UI/ViewKit.hpp"

#include <QBoxLayout>
#include <QDateTime>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

#include "TavelinHost/UI/Symbols.hpp"

namespace tavelin::ui {

QLabel* plainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  label->setWordWrap(true);
  return label;
}

QLabel* noteLabel(const QString& text, QWidget* parent) {
  auto* label = plainLabel(text, parent);
  label->setForegroundRole(QPalette::PlaceholderText);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.92);
  label->setFont(font);
  return label;
}

QLabel* borderNotice(QWidget* parent) {
  auto* label = plainLabel(
      QStringLiteral("This desktop does not let Tavelin draw the border around the shared region."),
      parent);
  label->setObjectName(QStringLiteral("borderNotice"));
  label->setWordWrap(true);
  return label;
}

QLabel* boldLabel(const QString& text, QWidget* parent) {
  auto* label = ui::plainLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

QLabel* iconLabel(const QString& symbol, int size, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(symbolIcon(symbol).pixmap(size, size));
  label->setAlignment(Qt::AlignTop);
  return label;
}

QWidget* sectionHeading(const QString& symbol, const QString& title, QWidget* parent) {
  auto* heading = new QWidget(parent);
  auto* row = new QHBoxLayout(heading);
  row->setContentsMargins(0, 8, 0, 2);
  if (!symbol.isEmpty()) {
    auto* icon = new QLabel(heading);
    icon->setPixmap(symbolIcon(symbol).pixmap(18, 18));
    icon->setAccessibleName(QString());
    row->addWidget(icon);
  }
  auto* text = plainLabel(title, heading);
  QFont font = text->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.15);
  text->setFont(font);
  text->setAccessibleName(title);
  row->addWidget(text, 1);
  return heading;
}

QFrame* card(QWidget* parent) {
  auto* frame = new QFrame(parent);
  frame->setFrameShape(QFrame::StyledPanel);
  frame->setFrameShadow(QFrame::Plain);
  frame->setAutoFillBackground(true);
  frame->setBackgroundRole(QPalette::Base);
  return frame;
}

QToolButton* moreActionsButton(QWidget* parent, const QString& accessibleName) {
  auto* button = new QToolButton(parent);
  button->setIcon(symbolIcon(QStringLiteral("more")));
  button->setAutoRaise(true);
  button->setPopupMode(QToolButton::InstantPopup);
  button->setToolTip(QStringLiteral("More actions"));
  button->setAccessibleName(accessibleName);
  button->setMenu(new QMenu(button));
  return button;
}

void clearLayout(QLayout* layout) {
  while (QLayoutItem* item = layout->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      // Later, not now: the layout may be cleared from a slot of one of its own buttons. Out
      // of the tree at once, so nothing finds or shows it meanwhile.
      widget->hide();
      widget->setParent(nullptr);
      widget->deleteLater();
    }
    if (QLayout* inner = item->layout()) clearLayout(inner);
    delete item;
  }
}

bool confirm(QWidget* parent, const Confirmation& question) {
  QMessageBox box(parent);
  box.setIcon(QMessageBox::Warning);
  box.setTextFormat(Qt::PlainText);
  box.setWindowTitle(QStringLiteral("Tavelin"));
  box.setText(question.title);
  box.setInformativeText(question.message);
  QPushButton* yes = box.addButton(question.confirm, QMessageBox::DestructiveRole);
  QPushButton* no = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
  box.setDefaultButton(no);
  box.setEscapeButton(no);
  box.exec();
  return box.clickedButton() == yes;
}

QString dateText(Date date) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch());
  const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds.count()).toLocalTime();
  return QLocale().toString(local, QLocale::ShortFormat);
}

QString sinceText(Date date) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch());
  const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds.count()).toLocalTime();
  const bool today = local.date() == QDate::currentDate();
  return QStringLiteral("since ") + (today ? QLocale().toString(local.time(), QLocale::ShortFormat)
                                           : QLocale().toString(local, QLocale::ShortFormat));
}

QString qt(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace tavelin::ui
