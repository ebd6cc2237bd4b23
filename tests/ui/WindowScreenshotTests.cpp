// The whole window on a private X desktop with a window manager, the way a user meets it: the
// shell starts the host once when the window first shows and stops it when the window closes;
// each state of interest is photographed into the build folder for a reviewer to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include "TavelinHost/RegionSelectionOverlay/RegionSelectionOverlay.hpp"
#include "TavelinHost/UI/ColorScheme.hpp"
#include "TavelinHost/UI/MainWindow.hpp"
#include "TavelinHost/UI/PortalFlowSheet.hpp"
#include "TavelinHost/UI/TavelinApp.hpp"
#include "TavelinHost/UI/TrayIcon.hpp"
#include "TavelinHost/UI/WindowPicker.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/XvfbDesktop.hpp"
#include "tests/ui/UiFixture.hpp"

namespace tavelin {
namespace {

using testing::settle;
using namespace std::chrono_literals;

testing::XvfbDesktop* desktop = nullptr;  // the tests' own, for the programs they start

// Photographs the whole screen once what was just shown has been painted and decorated.
QImage photograph(const QString& name) {
  QTest::qWait(400);
  QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
  QDir().mkpath(QStringLiteral(TAVELIN_SCREENSHOTS));
  EXPECT_TRUE(shot.save(QStringLiteral(TAVELIN_SCREENSHOTS "/") + name)) << name.toStdString();
  return shot;
}

// A still of some application's window for the region picker: a title bar, a sidebar, text.
CaptureSample windowPicture(int width, int height) {
  QImage picture(width, height, QImage::Format_RGB32);
  picture.fill(QColor(250, 250, 248));
  QPainter painter(&picture);
  painter.fillRect(0, 0, width, 36, QColor(230, 230, 232));
  painter.fillRect(0, 36, 180, height - 36, QColor(240, 242, 245));
  painter.setPen(QColor(40, 40, 40));
  for (int line = 0; line < 14; ++line) {
    painter.drawText(200, 70 + line * 26, QStringLiteral("Line %1 of the notes").arg(line + 1));
  }
  painter.fillRect(220, 420, 300, 160, QColor(70, 130, 200));
  painter.end();
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(
      picture.constBits(), picture.constBits() + picture.sizeInBytes());
  CaptureSample sample;
  sample.isValid = true;
  sample.status = FrameStatus::complete;
  sample.contentRect = {0, 0, static_cast<double>(width), static_cast<double>(height)};
  sample.pixels =
      PixelBuffer::of(width, height, static_cast<int>(picture.bytesPerLine()), std::move(bytes));
  return sample;
}

// Photographs one window, its frame included.
QImage photographWindow(const QWidget& window, const QString& name) {
  QTest::qWait(400);
  const QRect frame = window.frameGeometry();
  QImage shot = QGuiApplication::primaryScreen()
                    ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                    .toImage();
  QDir().mkpath(QStringLiteral(TAVELIN_SCREENSHOTS));
  EXPECT_TRUE(shot.save(QStringLiteral(TAVELIN_SCREENSHOTS "/") + name)) << name.toStdString();
  return shot;
}

class WindowOnDesktopTest : public ::testing::Test, protected testing::ModelHarness {
 protected:
  void SetUp() override {
    testing::addSampleWindows(*capture);
    model = makeModel();
    app = std::make_unique<TavelinApp>(*model);
    app->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app->mainWindow()));
    settle();
  }
  void TearDown() override {
    app.reset();
    model->shutDown();
    settle();
  }
  std::unique_ptr<AppModel> model;
  std::unique_ptr<TavelinApp> app;
};

TEST_F(WindowOnDesktopTest, TheHostStartsOnceWithItsWindowAndStopsWhenItCloses) {
  ASSERT_TRUE(model->didStart);
  EXPECT_TRUE(model->connection().serverRunning());
  app->mainWindow().hide();
  app->mainWindow().show();
  settle();
  EXPECT_EQ(testing::timesLogged(*model, "Host starting"), 1);
  EXPECT_EQ(app->mainWindow().windowTitle(), "Tavelin");
  EXPECT_TRUE(testing::showing(&app->mainWindow(), model->connection().connectionURL()));
  photograph("window-empty.png");

  // Closing the main window ends the application, which shuts the host down.
  QTimer::singleShot(0, [this] { app->mainWindow().close(); });
  QApplication::exec();
  settle();
  EXPECT_FALSE(model->connection().serverRunning());
  EXPECT_EQ(testing::timesLogged(*model, "Host shutting down"), 1);
}

TEST_F(WindowOnDesktopTest, WithATrayClosingTheWindowLeavesTheHostThereUntilItsMenuQuits) {
  // Without the setting, or without a tray, closing quits (the test above); with both, it stays.
  const pid_t tray = desktop->run({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                                   "pixel", "--width", "120", "--height", "28"});
  ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000));
  app->trayIcon().showIfAvailable();
  ASSERT_TRUE(QTest::qWaitFor([&] { return app->trayIcon().isShown(); }, 15000));
  HostSettings settings = model->settings().value();
  settings.keepRunningInTray = true;
  model->settings().update(settings);

  bool hiddenAndRunning = false;
  QTimer::singleShot(0, [&] {
    EXPECT_FALSE(app->mainWindow().close());
    hiddenAndRunning = !app->mainWindow().isVisible() && model->connection().serverRunning();
    for (QAction* action : app->trayIcon().menu()->actions()) {
      if (action->text() == "Quit Tavelin") action->trigger();
    }
  });
  QApplication::exec();  // until the tray's Quit
  settle();
  EXPECT_TRUE(hiddenAndRunning);
  EXPECT_FALSE(model->connection().serverRunning());
  EXPECT_EQ(testing::timesLogged(*model, "Host shutting down"), 1);
  testing::XvfbDesktop::stop(tray);
}

TEST_F(WindowOnDesktopTest, APendingApprovalAndAFirewallBanner) {
  answers->curl = "000";
  answers->ufw = "Status: active\nDefault: deny (incoming), allow (outgoing), disabled (routed)\n";
  runProbes();  // the probe the start made
  model->phones().pendingStore()->create("Anna's phone");
  settle();
  EXPECT_TRUE(testing::showing(&app->mainWindow(), "Your phone cannot reach this computer"));
  EXPECT_TRUE(testing::showing(&app->mainWindow(), "Anna's phone wants to connect"));
  app->mainWindow().resize(900, 940);
  app->mainWindow().move(40, 0);
  photograph("window-approval-firewall.png");
}

TEST_F(WindowOnDesktopTest, PortalsAndConnectedDevices) {
  model->sharing().add(Portal{Uuid::random(), "Dashboard", clock.now(),
                              ScreenRegionPortalData{{0, 0, 800, 600}, 1, true}});
  model->targets().chooseWindow(WindowInfo{0x500001,
                                           "build \u2014 make test",
                                           "Terminal",
                                           "org.example.Terminal",
                                           4200,
                                           {300, 200, 800, 500},
                                           true},
                                std::nullopt);
  const auto pixel = model->phones().pairing()->issueToken(std::string("Pixel 8")).device;
  model->phones().pairing()->issueToken(std::string("iPad"));
  std::string answer;
  auto phone = testing::openStream(*model, pixel, answer);
  ASSERT_TRUE(
      testing::eventually([&] { return model->connection().server().sessionCount() == 1; }));
  model->refreshRuntimeState();
  settle();
  EXPECT_TRUE(testing::showing(&app->mainWindow(), "Connected \u00B7 0 frames"));
  EXPECT_TRUE(testing::showing(&app->mainWindow(), "Dashboard"));
  EXPECT_TRUE(testing::showing(&app->mainWindow(), "Terminal"));
  app->mainWindow().resize(900, 940);
  app->mainWindow().move(40, 0);
  photograph("window-portals-devices.png");
}

// Where a widget is, in the window's scrolled column.
QRect inViewport(QWidget* widget, QScrollArea* scroll) {
  return QRect(widget->mapTo(scroll->viewport(), QPoint(0, 0)), widget->size());
}

TEST_F(WindowOnDesktopTest, AtEachSizeLightAndDarkEverySectionIsThereFromTheTop) {
  model->sharing().add(Portal{Uuid::random(), "Dashboard", clock.now(),
                              ScreenRegionPortalData{{0, 0, 800, 600}, 1, true}});
  model->sharing().add(Portal{Uuid::random(), "Terminal", clock.now(),
                              ScreenRegionPortalData{{0, 600, 800, 400}, 1, true}});
  const auto pixel = model->phones().pairing()->issueToken(std::string("Pixel 8")).device;
  model->phones().pairing()->issueToken(std::string("iPad"));
  std::string answer;
  auto phone = testing::openStream(*model, pixel, answer);
  ASSERT_TRUE(testing::eventually([&] {
    model->refreshRuntimeState();
    settle();
    return model->connection().refreshedStreams().size() == 1;
  }));
  MainWindow& window = app->mainWindow();
  auto* scroll = qobject_cast<QScrollArea*>(window.centralWidget());
  ASSERT_NE(scroll, nullptr);
  const QPalette light = QApplication::palette();
  struct Size {
    int width, height;
  };
  for (const bool dark : {false, true}) {
    QApplication::setPalette(dark ? ColorScheme::darkPalette() : light);
    for (const Size size : {Size{800, 640}, Size{1280, 800}, Size{1920, 1080}}) {
      const QString name = QStringLiteral("window-%1x%2-%3.png")
                               .arg(size.width)
                               .arg(size.height)
                               .arg(dark ? QStringLiteral("dark") : QStringLiteral("light"));
      model->setShowActivity(size.width != 1280);  // with the log, and without
      window.resize(size.width, size.height);
      window.move(0, 0);
      scroll->verticalScrollBar()->setValue(0);
      settle();
      ASSERT_TRUE(QTest::qWaitFor([&] { return window.size() == QSize(size.width, size.height); }))
          << name.toStdString();
      const QImage shot = photographWindow(window, name);
      // The sections keep their width beside or above the log.
      EXPECT_GE(scroll->viewport()->width(), 560) << name.toStdString();
      QWidget* devices = testing::label(&window, "Devices");
      ASSERT_NE(devices, nullptr);
      if (size.height >= 800) {
        // Its heading and its first device.
        QWidget* row = window.findChild<QWidget*>(QStringLiteral("DeviceRow"));
        ASSERT_NE(row, nullptr);
        EXPECT_TRUE(scroll->viewport()->rect().contains(inViewport(devices, scroll)))
            << name.toStdString() << ": Devices needs scrolling";
        EXPECT_TRUE(scroll->viewport()->rect().contains(inViewport(row, scroll)))
            << name.toStdString() << ": the devices need scrolling";
      }
      // Every section is reachable.
      for (const char* heading : {"Connection", "Portals", "Devices", "Virtual display"}) {
        QWidget* widget = testing::label(&window, heading);
        ASSERT_NE(widget, nullptr) << heading;
        scroll->ensureWidgetVisible(widget);
        EXPECT_TRUE(scroll->viewport()->rect().intersects(inViewport(widget, scroll)))
            << name.toStdString() << ": " << heading;
      }
      // The palette is the window's: a dark one gives a dark window, text and all.
      const QPoint margin = window.mapToGlobal(scroll->viewport()->mapTo(&window, QPoint(6, 6))) -
                            window.frameGeometry().topLeft();
      const QColor background = shot.pixelColor(margin);
      EXPECT_EQ(background.lightness() < 100, dark) << name.toStdString();
    }
  }
  QApplication::setPalette(light);
}

TEST_F(WindowOnDesktopTest, TheWindowStepsAsideForARegionDraggedOnTheDesktop) {
  MainWindow& window = app->mainWindow();
  // Cancelled: no portal, and the window is back.
  model->beginScreenRegionSelection();
  EXPECT_FALSE(window.isVisible());
  ASSERT_TRUE(QTest::qWaitFor([] { return RegionSelectionOverlay::current() != nullptr; }, 3000));
  RegionSelectionOverlay::current()->cancel();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(model->sharing().portals().empty());

  // Dragged: a portal of that rectangle, outlined on the desktop while it is shared.
  model->beginScreenRegionSelection();
  ASSERT_TRUE(QTest::qWaitFor([] { return RegionSelectionOverlay::current() != nullptr; }, 3000));
  QWidget* overlay = RegionSelectionOverlay::current()->windows().at(0);
  testing::drag(overlay, {100, 120}, {420, 360});
  settle();
  EXPECT_TRUE(window.isVisible());
  const auto portals = model->sharing().portals();
  ASSERT_EQ(portals.size(), 1u);
  EXPECT_EQ(portals[0].name, "Screen region 320\u00D7240");
  EXPECT_EQ(std::get<ScreenRegionPortalData>(portals[0].payload.value).region,
            (ScreenRect{100, 120, 320, 240}));
}

TEST_F(WindowOnDesktopTest, TheCreationSheetStepByStep) {
  app->mainWindow().resize(900, 760);
  model->setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
  settle();
  auto* flow = qobject_cast<PortalFlowSheet*>(app->mainWindow().openSheet());
  ASSERT_NE(flow, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(flow));
  photograph("create-1-type.png");

  flow->choose(PortalFlowSheet::Kind::windowRegion);
  runProbes();
  ASSERT_EQ(flow->windowPicker()->shown().size(), 3u);
  photograph("create-2-window.png");

  flow->windowPicker()->setQuery("notes");
  flow->pickWindow(flow->windowPicker()->shown().at(0));
  ASSERT_EQ(capture->streams.size(), 1u);
  ASSERT_TRUE(
      testing::eventually([&] { return capture->streams[0]->emit(windowPicture(700, 640)); }));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !flow->canvas()->image().isNull(); }, 5000));
  RegionCanvas* canvas = flow->canvas();
  const QPoint from = canvas->toWidget({200, 400}).toPoint();
  const QPoint to = canvas->toWidget({540, 600}).toPoint();
  testing::drag(canvas, from, to);
  EXPECT_TRUE(flow->sizeLabel()->text().endsWith(" px"));
  photograph("create-3-region.png");
}

}  // namespace
}  // namespace tavelin

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  tavelin::testing::XvfbDesktop desktop("1920x1200");
  tavelin::desktop = &desktop;
  qputenv("DISPLAY", QByteArray::fromStdString(desktop.display()));
  qputenv("QT_QPA_PLATFORM", "xcb");
  // Nothing here needs the session bus; asking for one that does not exist costs a leak in
  // libdbus that the leak checker reports.
  qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
  int code = 0;
  {
    QApplication application(argc, argv);
    code = RUN_ALL_TESTS();
  }
  return code;
}
