#include "TavelinHost/UI/Symbols.hpp"

#include <array>
#include <mutex>

// The bundled pictures live in a static library, which the linker drops unless someone asks.
static void loadBundledIcons() { Q_INIT_RESOURCE(Symbols); }

namespace tavelin {

namespace {

struct Symbol {
  const char* name;
  const char* themeName;  // freedesktop icon naming, or a name common themes carry
  const char* bundled;    // in the application's resources
};

constexpr std::array symbols{
    Symbol{"tavelin", "tavelin", "tavelin"},
    Symbol{"plus", "list-add", "plus"},
    Symbol{"ellipsis.circle", "view-more", "more"},
    Symbol{"sidebar.right", "sidebar-show-right", "sidebar"},
    Symbol{"doc.on.doc", "edit-copy", "copy"},
    Symbol{"wifi", "network-wireless", "wifi"},
    Symbol{"iphone", "phone", "phone"},
    Symbol{"iphone.slash", "phone-disabled", "phone-off"},
    Symbol{"person.badge.clock", "contact-new", "person-clock"},
    Symbol{"play.fill", "media-playback-start", "play"},
    Symbol{"stop.fill", "media-playback-stop", "stop"},
    Symbol{"trash", "edit-delete", "trash"},
    Symbol{"rectangle.dashed", "select-rectangular", "region"},
    Symbol{"macwindow", "window", "window"},
    Symbol{"rectangle.split.2x1", "view-split-left-right", "window-region"},
    Symbol{"display", "video-display", "display"},
    Symbol{"gearshape", "preferences-system", "settings"},
    Symbol{"safari", "internet-web-browser", "browser"},
    Symbol{"square.and.arrow.up", "emblem-shared", "share"},
    Symbol{"arrow.clockwise", "view-refresh", "refresh"},
    Symbol{"magnifyingglass", "edit-find", "search"},
    Symbol{"network-error", "network-error", "network-error"},
    Symbol{"camera-video", "camera-video", "window"},
    Symbol{"input-mouse", "input-mouse", "window"},
};

}  // namespace

QIcon symbolIcon(const QString& symbol) {
  static std::once_flag loaded;
  std::call_once(loaded, loadBundledIcons);
  for (const Symbol& entry : symbols) {
    if (symbol == QLatin1String(entry.name)) {
      const QIcon bundled(QStringLiteral(":/tavelin/icons/%1.svg").arg(entry.bundled));
      return QIcon::fromTheme(QLatin1String(entry.themeName), bundled);
    }
  }
  return QIcon::fromTheme(symbol);
}

}  // namespace tavelin
