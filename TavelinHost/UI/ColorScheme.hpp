#pragma once

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QPalette>

namespace tavelin {

// Light or dark as the desktop prefers. Where Qt's platform theme already gives a palette
// (KDE, GTK themes), that palette holds; where it gives the plain light one, the desktop's
// "color-scheme" preference (the desktop portal's appearance setting, which GNOME and KDE
// publish) chooses between it and a dark one, also when the user switches later. GUI thread.
class ColorScheme : public QObject {
  Q_OBJECT
 public:
  enum class Preference { none, dark, light };  // the appearance setting's 0, 1 and 2

  explicit ColorScheme(QDBusConnection bus = QDBusConnection::sessionBus(),
                       QObject* parent = nullptr);

  // Applies what the desktop prefers to the application.
  void apply(Preference preference);
  Preference preference() const { return preference_; }
  // A dark palette in the spirit of the light one Qt starts with.
  static QPalette darkPalette();
  static bool isDark(const QPalette& palette);

 private Q_SLOTS:
  void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

 private:
  QDBusConnection bus_;
  QPalette initial_;
  Preference preference_ = Preference::none;
};

}  // namespace tavelin
