#include "TavelinHost/UI/Symbols.hpp"

#include <array>
#include <mutex>

// The bundled pictures live in a static library, which the linker drops unless someone asks.
static void loadBundledIcons() { Q_INIT_RESOURCE(Symbols); }

namespace tavelin {

namespace {

struct Symbol {
  const char* name;       // also the bundled picture's file name
  const char* themeName;  // freedesktop icon naming, or a name common themes carry
};

constexpr std::array symbols{
    Symbol{"tavelin", "tavelin"},
    Symbol{"plus", "list-add"},
    Symbol{"more", "view-more"},
    Symbol{"sidebar", "sidebar-show-right"},
    Symbol{"copy", "edit-copy"},
    Symbol{"wifi", "network-wireless"},
    Symbol{"phone", "phone"},
    Symbol{"phone-off", "phone-disabled"},
    Symbol{"person-clock", "contact-new"},
    Symbol{"play", "media-playback-start"},
    Symbol{"stop", "media-playback-stop"},
    Symbol{"trash", "edit-delete"},
    Symbol{"region", "select-rectangular"},
    Symbol{"window", "window"},
    Symbol{"window-region", "view-split-left-right"},
    Symbol{"display", "video-display"},
    Symbol{"settings", "preferences-system"},
    Symbol{"browser", "internet-web-browser"},
    Symbol{"share", "emblem-shared"},
    Symbol{"refresh", "view-refresh"},
    Symbol{"search", "edit-find"},
    Symbol{"network-error", "network-error"},
    Symbol{"disk", "drive-harddisk"},
    Symbol{"screen-capture", "camera-video"},
};

}  // namespace

QIcon symbolIcon(const QString& symbol) {
  static std::once_flag loaded;
  std::call_once(loaded, loadBundledIcons);
  for (const Symbol& entry : symbols) {
    if (symbol == QLatin1String(entry.name)) {
      const QIcon bundled(QStringLiteral(":/tavelin/icons/%1.svg").arg(QLatin1String(entry.name)));
      return QIcon::fromTheme(QLatin1String(entry.themeName), bundled);
    }
  }
  return QIcon::fromTheme(symbol);
}

}  // namespace tavelin
