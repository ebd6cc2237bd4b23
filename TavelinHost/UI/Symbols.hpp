#pragma once

#include <QIcon>
#include <QString>

namespace tavelin {

// Icons by the symbol names the views are written with ("wifi", "play.fill"): the desktop's
// icon theme first (freedesktop names), else a picture bundled with the application.
QIcon symbolIcon(const QString& symbol);

}  // namespace tavelin
