// The whole window on a private X desktop with a window manager, the way a user meets it: the
// shell starts the host once when the window first shows and stops it when the window closes;
// each state of interest is photographed into the build folder for a reviewer to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "TavelinHost/RegionSelectionOverlay/RegionSelectionOverlay.hpp"
#include "TavelinHost/UI/MainWindow.hpp"
#include "TavelinHost/UI/PortalFlowSheet.hpp"
#include "TavelinHost/UI/TavelinApp.hpp"
#include "TavelinHost/UI/WindowPicker.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/XvfbDesktop.hpp"
#include "tests/ui/UiFixture.hpp"

namespace tavelin {
namespace {

using testing::settle;
using namespace std::chrono_literals;

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
  tavelin::testing::XvfbDesktop desktop("1280x1024");
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
