#pragma once

#include <QImage>
#include <QString>
#include <string>

namespace tavelin {

// QR code of `text` (level H, 4 modules of quiet zone), `scale` pixels per module; a null image
// when it cannot be made.
QImage makeQrImage(const QString& text, int scale);
// The same code for a terminal: two rows of modules per line in UTF-8 half blocks.
std::string terminalQrCode(const std::string& text);

}  // namespace tavelin
