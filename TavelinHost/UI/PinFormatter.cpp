#include "TavelinHost/UI/PinFormatter.hpp"

#include <QStringList>
#include <algorithm>

namespace tavelin::PinFormatter {

namespace {

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

}  // namespace

QString grouped(const QString& pin) {
  if (pin.size() != 6 || !std::all_of(pin.begin(), pin.end(), isDigit)) return pin;
  return pin.left(3) + QLatin1Char(' ') + pin.right(3);
}

QString spelledOut(const QString& pin) {
  QStringList digits;
  for (const QChar c : pin) {
    if (isDigit(c)) digits << QString(c);
  }
  return QStringLiteral("Pairing PIN ") + digits.join(QLatin1Char(' '));
}

}  // namespace tavelin::PinFormatter
