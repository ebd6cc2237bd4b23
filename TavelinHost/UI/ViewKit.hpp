#pragma once

#include <QFrame>
#include <QLabel>
#include <QString>
#include <string>

#include "TavelinKit/Foundation/DateFormat.hpp"

class QLayout;
class QBoxLayout;
class QToolButton;

// Small pieces every view of the window is built from.
namespace tavelin::ui {

// A label that shows its text literally: names from outside (devices, windows, portals) must
// never be read as rich text.
QLabel* plainLabel(const QString& text, QWidget* parent = nullptr);
// The same in the palette's quieter colour and a slightly smaller font, for notes.
QLabel* noteLabel(const QString& text, QWidget* parent = nullptr);
// The same in the bold font, for names and titles.
QLabel* boldLabel(const QString& text, QWidget* parent);
// Said beside the region border's setting on a desktop where the border cannot be drawn.
QLabel* borderNotice(QWidget* parent);
// A symbol `size` pixels square, aligned to the top of its row.
QLabel* iconLabel(const QString& symbol, int size, QWidget* parent);
// A section's title with its symbol.
QWidget* sectionHeading(const QString& symbol, const QString& title, QWidget* parent = nullptr);
// A framed area holding one section's content.
QFrame* card(QWidget* parent = nullptr);
// The "More actions" button (symbol "more") with an empty menu to fill.
QToolButton* moreActionsButton(QWidget* parent,
                               const QString& accessibleName = QStringLiteral("More actions"));
// Removes and deletes everything a layout holds.
void clearLayout(QLayout* layout);

// A question before an action that cannot be undone.
struct Confirmation {
  QString title;    // "Delete “Mail”?"
  QString message;  // what happens
  QString confirm;  // the destructive button's text
};
// Asks with a modal dialog; true when the user chose `confirm`.
bool confirm(QWidget* parent, const Confirmation& question);

// A date as the user's locale writes it, short.
QString dateText(Date date);
// "since 14:05" for a moment of today, "since <short date>" for an earlier one.
QString sinceText(Date date);

// The model's UTF-8 text for a widget.
QString qt(const std::string& utf8);

}  // namespace tavelin::ui
