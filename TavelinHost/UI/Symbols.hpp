#pragma once

#include <QIcon>
#include <QString>

namespace tavelin {

// Icons by what they show ("wifi", "play", "phone-off"): the desktop's icon theme first
// (freedesktop names), else the picture of that name bundled with the application.
QIcon symbolIcon(const QString& symbol);

}  // namespace tavelin
