#pragma once

#include <QFrame>
#include <QLabel>
#include <QString>

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
// A section's title with its symbol.
QWidget* sectionHeading(const QString& symbol, const QString& title, QWidget* parent = nullptr);
// A framed area holding one section's content.
QFrame* card(QWidget* parent = nullptr);
// The "More actions" button (symbol "ellipsis.circle") with an empty menu to fill.
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

}  // namespace tavelin::ui
