// The host among the desktop's services: the tray icon's looks and menu, closing the window
// into the tray, requests to pair raised as desktop notifications, and the desktop's dark or
// light preference, over a private D-Bus daemon with stand-in services (and without any).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QMenu>
#include <QTemporaryDir>

#include "TavelinHost/UI/ColorScheme.hpp"
#include "TavelinHost/UI/MainWindow.hpp"
#include "TavelinHost/UI/PairingNotifications.hpp"
#include "TavelinHost/UI/TrayIcon.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/ui/UiFixture.hpp"

namespace tavelin {
namespace {

using testing::settle;

// QtDBus runs its own thread inside the uninstrumented Qt library, which ThreadSanitizer cannot
// follow (it reports Qt's own locking as races); these tests run in the other sanitized build.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SKIP_WITHOUT_INSTRUMENTED_DBUS() GTEST_SKIP() << "QtDBus is not instrumented"
#endif
#endif
#ifndef SKIP_WITHOUT_INSTRUMENTED_DBUS
#define SKIP_WITHOUT_INSTRUMENTED_DBUS() static_cast<void>(0)
#endif

// A session bus of the test's own, with no services to start.
class PrivateBus {
 public:
  PrivateBus() {
    const QString config = folder_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=)" +
               folder_.path().toUtf8() + R"(</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    file.close();
    // Spawned, not forked through Qt: ThreadSanitizer cannot follow Qt's own clone.
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string configArgument = "--config-file=" + config.toStdString();
    const char* argv[] = {"dbus-daemon", configArgument.c_str(), "--nofork", "--print-address=1",
                          nullptr};
    EXPECT_EQ(
        ::posix_spawnp(&daemon_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // Its first line is the address, once it listens.
    std::string line;
    char c = 0;
    pollfd ready{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&ready, 1, 10000) > 0 &&
           ::read(out[0], &c, 1) == 1) {
      line += c;
    }
    ::close(out[0]);
    address_ = QString::fromStdString(line).trimmed();
    EXPECT_FALSE(address_.isEmpty()) << "dbus-daemon gave no address";
  }
  ~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
  }
  // A connection of its own (named after the bus, so no other test's is reused).
  QDBusConnection connect(const QString& name) {
    names_ << name + QStringLiteral("@") + address_;
    return QDBusConnection::connectToBus(address_, names_.back());
  }

 private:
  QTemporaryDir folder_;
  pid_t daemon_ = 0;
  QString address_;
  QStringList names_;
};

// What a desktop's notification service does with our calls, recorded; a test plays the user.
class StandInNotifications : public QDBusVirtualObject {
 public:
  struct Shown {
    uint id;
    QString summary, body;
    QStringList actions;
    bool open = true;
  };
  explicit StandInNotifications(QDBusConnection bus) : bus_(std::move(bus)) {
    EXPECT_TRUE(bus_.registerVirtualObject(QLatin1String(PairingNotifications::path), this));
    EXPECT_TRUE(bus_.registerService(QLatin1String(PairingNotifications::service)));
  }
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const auto args = message.arguments();
    if (message.member() == QLatin1String("Notify") && args.size() == 8) {
      shown.push_back({nextID_, args[3].toString(), args[4].toString(), args[5].toStringList()});
      connection.send(message.createReply(QVariant::fromValue(nextID_++)));
      return true;
    }
    if (message.member() == QLatin1String("CloseNotification") && args.size() == 1) {
      const uint id = args[0].toUInt();
      for (Shown& entry : shown) {
        if (entry.id == id && entry.open) {
          entry.open = false;
          emitSignal("NotificationClosed", {QVariant::fromValue(id), QVariant::fromValue(3u)});
        }
      }
      connection.send(message.createReply());
      return true;
    }
    return false;
  }
  // The user chose an action, then the notification went away, as servers do.
  void choose(uint id, const QString& action) {
    emitSignal("ActionInvoked", {QVariant::fromValue(id), action});
    for (Shown& entry : shown) {
      if (entry.id == id) entry.open = false;
    }
    emitSignal("NotificationClosed", {QVariant::fromValue(id), QVariant::fromValue(2u)});
  }
  int openCount() const {
    return static_cast<int>(
        std::count_if(shown.begin(), shown.end(), [](const Shown& s) { return s.open; }));
  }
  std::vector<Shown> shown;

 private:
  void emitSignal(const char* name, const QVariantList& arguments) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QLatin1String(PairingNotifications::path), QStringLiteral("org.freedesktop.Notifications"),
        QLatin1String(name));
    signal.setArguments(arguments);
    bus_.send(signal);
  }
  QDBusConnection bus_;
  uint nextID_ = 7;
};

// The desktop portal's appearance settings, as GNOME and KDE publish them.
class StandInAppearance : public QDBusVirtualObject {
 public:
  static constexpr const char* path = "/org/freedesktop/portal/desktop";
  StandInAppearance(QDBusConnection bus, std::optional<uint> scheme)
      : bus_(std::move(bus)), scheme_(scheme) {
    EXPECT_TRUE(bus_.registerVirtualObject(QLatin1String(path), this));
    EXPECT_TRUE(bus_.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
  }
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Read")) return false;
    const auto args = message.arguments();
    if (!scheme_ || args.size() != 2 || args[0] != "org.freedesktop.appearance" ||
        args[1] != "color-scheme") {
      connection.send(message.createErrorReply(
          QStringLiteral("org.freedesktop.portal.Error.NotFound"), QStringLiteral("no such key")));
      return true;
    }
    // The portal answers a variant holding a variant.
    connection.send(message.createReply(QVariant::fromValue(
        QDBusVariant(QVariant::fromValue(QDBusVariant(QVariant::fromValue(*scheme_)))))));
    return true;
  }
  void change(uint scheme) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QLatin1String(path), QStringLiteral("org.freedesktop.portal.Settings"),
        QStringLiteral("SettingChanged"));
    signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
           << QVariant::fromValue(QDBusVariant(QVariant::fromValue(scheme)));
    bus_.send(signal);
  }

 private:
  QDBusConnection bus_;
  std::optional<uint> scheme_;
};

// Runs the event loop until `condition` holds (D-Bus answers arrive through it).
template <typename Condition>
bool soon(Condition condition) {
  return testing::eventually([&] {
    QCoreApplication::processEvents();
    return condition();
  });
}

class BackgroundTest : public ::testing::Test, protected testing::ModelHarness {
 protected:
  void SetUp() override {
    model = makeModel();
    model->connection().copyText = [this](const QString& text) { copied = text; };
  }
  void TearDown() override {
    model->shutDown();
    settle();
  }
  std::unique_ptr<AppModel> model;
  QString copied;
};

TEST_F(BackgroundTest, ARequestToPairIsAskedInANotificationAndAnsweredFromIt) {
  SKIP_WITHOUT_INSTRUMENTED_DBUS();
  PrivateBus bus;
  StandInNotifications server(bus.connect(QStringLiteral("server")));
  PairingNotifications notifications(model->phones(), model->activity().sink(),
                                     bus.connect(QStringLiteral("host")));
  const auto anna = model->phones().pendingStore()->create("Anna's <b>phone</b>");
  ASSERT_TRUE(soon([&] { return notifications.shownCount() == 1; }));
  ASSERT_EQ(server.shown.size(), 1u);
  EXPECT_EQ(server.shown[0].summary, "Anna's <b>phone</b> wants to connect");
  EXPECT_EQ(server.shown[0].actions, (QStringList{"allow", "Allow", "deny", "Deny"}));

  // Allowed from the notification: approved as from the window.
  server.choose(server.shown[0].id, QStringLiteral("allow"));
  ASSERT_TRUE(soon([&] { return model->phones().pendingRequests().empty(); }));
  EXPECT_EQ(model->phones().pendingStore()->status(anna).kind, PairStatus::Kind::approved);
  EXPECT_TRUE(testing::loggedSoon(*model, "Connection approved"));

  // Denied from it.
  model->phones().pendingStore()->create("Tablet");
  ASSERT_TRUE(soon([&] { return server.shown.size() == 2 && notifications.shownCount() == 1; }));
  server.choose(server.shown[1].id, QStringLiteral("deny"));
  ASSERT_TRUE(soon([&] { return model->phones().pendingRequests().empty(); }));
  EXPECT_TRUE(testing::loggedSoon(*model, "Connection denied"));

  // Answered in the window: the notification goes; dismissed: the request still waits.
  const auto third = model->phones().pendingStore()->create("Laptop");
  model->phones().pendingStore()->create("Watch");
  ASSERT_TRUE(soon([&] { return notifications.shownCount() == 2; }));
  model->phones().deny(third);
  ASSERT_TRUE(soon([&] { return server.openCount() == 1; }));
  EXPECT_EQ(notifications.shownCount(), 1u);
  const auto open = std::find_if(server.shown.begin(), server.shown.end(),
                                 [](const auto& shown) { return shown.open; });
  ASSERT_NE(open, server.shown.end());
  EXPECT_EQ(open->summary, "Watch wants to connect");
  server.choose(open->id, QStringLiteral("nothing we offered"));
  ASSERT_TRUE(soon([&] { return notifications.shownCount() == 0; }));
  EXPECT_EQ(model->phones().pendingRequests().size(), 1u);
  settle();
  EXPECT_EQ(server.shown.size(), 4u);  // never raised twice
}

TEST_F(BackgroundTest, WithoutANotificationServiceTheWindowAloneAsks) {
  SKIP_WITHOUT_INSTRUMENTED_DBUS();
  PrivateBus bus;
  QDBusConnection host = bus.connect(QStringLiteral("host"));
  PairingNotifications notifications(model->phones(), model->activity().sink(), host);
  model->phones().pendingStore()->create("Anna's phone");
  model->phones().pendingStore()->create("Tablet");
  const std::string said =
      "Requests to connect wait in the window only: no desktop notifications "
      "(org.freedesktop.DBus.Error.ServiceUnknown)";
  ASSERT_TRUE(testing::loggedSoon(*model, said));
  // A round trip on the same connection comes back after both refusals.
  ASSERT_TRUE(host.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus")));
  settle();
  model->activity().add("Test", "after both");  // the log keeps its order
  ASSERT_TRUE(testing::loggedSoon(*model, "after both"));
  EXPECT_EQ(testing::timesLogged(*model, said), 1);  // said once
  EXPECT_EQ(model->phones().pendingRequests().size(), 2u);
  EXPECT_EQ(model->diagnostics().errorMessage(), std::nullopt);
}

TEST_F(BackgroundTest, TheTraySaysIdleSharedOrWatchedAndItsMenuActs) {
  model->start();
  int opened = 0;
  TrayIcon tray(*model, [&] { ++opened; });
  EXPECT_EQ(tray.look(), TrayIcon::Look::idle);
  EXPECT_EQ(tray.toolTip(), "Tavelin: nothing shared");
  QStringList entries;
  QAction* stopAll = nullptr;
  for (QAction* action : tray.menu()->actions()) {
    if (action->isSeparator()) continue;
    entries << action->text();
    if (action->text() == "Stop All Sharing") stopAll = action;
  }
  EXPECT_EQ(entries,
            (QStringList{"Open Tavelin", "Stop All Sharing", "Copy Link", "Quit Tavelin"}));
  ASSERT_NE(stopAll, nullptr);
  EXPECT_FALSE(stopAll->isEnabled());

  const Portal chart{Uuid::random(), "Chart", clock.now(),
                     ScreenRegionPortalData{{0, 0, 400, 300}, 1, true}};
  model->sharing().add(chart);
  settle();
  EXPECT_EQ(tray.look(), TrayIcon::Look::shared);
  EXPECT_EQ(tray.toolTip(), "Tavelin: 1 portal shared, no phone watching");
  EXPECT_TRUE(stopAll->isEnabled());

  const auto pixel = model->phones().pairing()->issueToken(std::string("Pixel")).device;
  std::string answer;
  auto phone = testing::openStream(*model, pixel, answer);
  ASSERT_TRUE(testing::eventually([&] {
    model->refreshRuntimeState();
    settle();
    return tray.look() == TrayIcon::Look::watched;
  }));
  EXPECT_EQ(tray.toolTip(), "Tavelin: 1 phone watching");
  // The three looks differ at a glance.
  const auto pictureOf = [](TrayIcon::Look look) {
    return TrayIcon::picture(look).pixmap(32, 32).toImage();
  };
  EXPECT_NE(pictureOf(TrayIcon::Look::idle), pictureOf(TrayIcon::Look::shared));
  EXPECT_NE(pictureOf(TrayIcon::Look::shared), pictureOf(TrayIcon::Look::watched));

  // The menu: the link, the window, and one step that ends all sharing (in the log too).
  for (QAction* action : tray.menu()->actions()) {
    if (action->text() == "Copy Link" || action->text() == "Open Tavelin") action->trigger();
  }
  EXPECT_EQ(copied, model->connection().connectionURL());
  EXPECT_EQ(opened, 1);
  stopAll->trigger();
  settle();
  EXPECT_FALSE(model->sharing().isAnythingShared());
  EXPECT_TRUE(testing::loggedSoon(*model, "Sharing stopped for every portal: Chart"));
  ASSERT_TRUE(testing::eventually([&] {
    model->refreshRuntimeState();
    settle();
    return tray.look() == TrayIcon::Look::idle;
  }));
  EXPECT_FALSE(stopAll->isEnabled());
}

TEST_F(BackgroundTest, ClosingTheWindowHidesItOnlyWhileTheTrayKeepsTheHost) {
  MainWindow window(*model);
  window.show();
  settle();
  bool keep = true;
  window.keepRunningOnClose = [&] { return keep; };
  EXPECT_FALSE(window.close());
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(testing::loggedSoon(*model, "Tavelin runs on in the tray; its menu quits it"));
  window.show();
  keep = false;
  EXPECT_TRUE(window.close());
}

TEST(ColorSchemeTest, TheDesktopsDarkPreferenceDarkensTheWindowAndItsChangeIsFollowed) {
  SKIP_WITHOUT_INSTRUMENTED_DBUS();
  const QPalette light = QApplication::palette();
  ASSERT_FALSE(ColorScheme::isDark(light));
  {
    PrivateBus bus;
    StandInAppearance portal(bus.connect(QStringLiteral("portal")), 1u);  // prefers dark
    ColorScheme scheme(bus.connect(QStringLiteral("host")));
    ASSERT_TRUE(soon([&] { return scheme.preference() == ColorScheme::Preference::dark; }));
    EXPECT_TRUE(ColorScheme::isDark(QApplication::palette()));
    portal.change(0);  // no preference: the light palette Qt started with
    ASSERT_TRUE(soon([&] { return scheme.preference() == ColorScheme::Preference::none; }));
    EXPECT_EQ(QApplication::palette(), light);
    portal.change(1);
    ASSERT_TRUE(soon([&] { return ColorScheme::isDark(QApplication::palette()); }));
    portal.change(2);
    ASSERT_TRUE(soon([&] { return !ColorScheme::isDark(QApplication::palette()); }));
  }
  QApplication::setPalette(light);
  {
    // A portal without the setting, and no portal at all: light stays, and nothing fails.
    PrivateBus bus;
    StandInAppearance portal(bus.connect(QStringLiteral("portal")), std::nullopt);
    ColorScheme scheme(bus.connect(QStringLiteral("host")));
    ColorScheme alone(QDBusConnection(QStringLiteral("never connected")));
    QDBusConnection host = bus.connect(QStringLiteral("host"));
    ASSERT_TRUE(host.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus")));
    settle();
    EXPECT_EQ(scheme.preference(), ColorScheme::Preference::none);
    EXPECT_EQ(QApplication::palette(), light);
  }
}

}  // namespace
}  // namespace tavelin
