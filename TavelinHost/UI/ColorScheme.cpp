#include "TavelinHost/UI/ColorScheme.hpp"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace tavelin {

namespace {

constexpr const char* portalService = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* settingsInterface = "org.freedesktop.portal.Settings";
constexpr const char* appearance = "org.freedesktop.appearance";
constexpr const char* colorSchemeKey = "color-scheme";

ColorScheme::Preference preferenceOf(const QVariant& value) {
  // Read answers a variant within a variant; SettingChanged a plain one.
  QVariant inner = value;
  while (inner.userType() == qMetaTypeId<QDBusVariant>()) {
    inner = inner.value<QDBusVariant>().variant();
  }
  switch (inner.toUInt()) {
    case 1: return ColorScheme::Preference::dark;
    case 2: return ColorScheme::Preference::light;
    default: return ColorScheme::Preference::none;
  }
}

}  // namespace

ColorScheme::ColorScheme(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), initial_(QApplication::palette()) {
  // A platform theme that gave a dark palette already follows the desktop.
  if (isDark(initial_)) return;
  // The slot's argument type is found by name, which needs it registered first.
  qRegisterMetaType<QDBusVariant>();
  // From any sender on the path: matching the service's name would drop what comes before Qt
  // has looked up its owner.
  bus_.connect(QString(), QLatin1String(portalPath), QLatin1String(settingsInterface),
               QStringLiteral("SettingChanged"), this,
               SLOT(settingChanged(QString, QString, QDBusVariant)));
  QDBusMessage read =
      QDBusMessage::createMethodCall(QLatin1String(portalService), QLatin1String(portalPath),
                                     QLatin1String(settingsInterface), QStringLiteral("Read"));
  read << QLatin1String(appearance) << QLatin1String(colorSchemeKey);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(read), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this](QDBusPendingCallWatcher* finished) {
            finished->deleteLater();
            const QDBusPendingReply<QDBusVariant> reply = *finished;
            // No portal, or one without the setting: the light palette stays.
            if (!reply.isError()) apply(preferenceOf(QVariant::fromValue(reply.value())));
          });
}

void ColorScheme::settingChanged(const QString& group, const QString& key,
                                 const QDBusVariant& value) {
  if (group != QLatin1String(appearance) || key != QLatin1String(colorSchemeKey)) return;
  apply(preferenceOf(value.variant()));
}

void ColorScheme::apply(Preference preference) {
  if (preference == preference_) return;
  preference_ = preference;
  QApplication::setPalette(preference == Preference::dark ? darkPalette() : initial_);
}

bool ColorScheme::isDark(const QPalette& palette) {
  return palette.color(QPalette::Window).lightness() <
         palette.color(QPalette::WindowText).lightness();
}

QPalette ColorScheme::darkPalette() {
  const QColor window(45, 45, 48), base(30, 30, 32), text(232, 232, 232), dim(150, 150, 155);
  const QColor button(58, 58, 62), highlight(64, 128, 210);
  QPalette palette(button, window);
  palette.setColor(QPalette::Window, window);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::AlternateBase, window);
  palette.setColor(QPalette::ToolTipBase, base);
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::PlaceholderText, dim);
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, button);
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::BrightText, QColor(255, 90, 90));
  palette.setColor(QPalette::Highlight, highlight);
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, QColor(110, 170, 255));
  palette.setColor(QPalette::LinkVisited, QColor(170, 140, 255));
  palette.setColor(QPalette::Light, button.lighter(150));
  palette.setColor(QPalette::Midlight, button.lighter(125));
  palette.setColor(QPalette::Mid, button.darker(120));
  palette.setColor(QPalette::Dark, button.darker(150));
  palette.setColor(QPalette::Shadow, Qt::black);
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(QPalette::Disabled, role, dim.darker(130));
  }
  palette.setColor(QPalette::Disabled, QPalette::Highlight, button);
  return palette;
}

}  // namespace tavelin
