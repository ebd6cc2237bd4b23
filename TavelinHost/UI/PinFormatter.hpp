#pragma once

#include <QString>

namespace tavelin::PinFormatter {

// "123456" → "123 456"; anything that is not exactly six digits stays as it is.
QString grouped(const QString& pin);
// What a screen reader says: "Pairing PIN 1 2 3 4 5 6".
QString spelledOut(const QString& pin);

}  // namespace tavelin::PinFormatter
