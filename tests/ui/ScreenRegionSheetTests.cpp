// Choosing a screen region on a desktop that lets no application place windows over others: the
// still picture's mapping back onto the desktop, the sheet that waits for the picture, takes a
// drag or the keyboard, says why no picture came, and the notice where the border is set.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCommandLinkButton>
#include <QDir>
#include <QPainter>
#include <QTest>
#include <algorithm>
#include <functional>

#include "TavelinHost/UI/EditPortalSheet.hpp"
#include "TavelinHost/UI/MainWindow.hpp"
#include "TavelinHost/UI/ScreenRegionSheet.hpp"
#include "TavelinHost/UI/ScreenStillCanvas.hpp"
#include "TavelinHost/UI/SettingsDialog.hpp"
#include "TavelinHost/UI/TavelinApp.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/ui/UiFixture.hpp"

namespace tavelin {
namespace {

using testing::button;
using testing::settle;
using testing::showing;

constexpr auto waitLimit = 5000;
const QString borderNotice =
    "This desktop does not let Tavelin draw the border around the shared region.";

TEST(ScreenStillMappingTest, DragsOnThePictureBecomeWholeScreenPointsOnItsDisplay) {
  const struct {
    const char* what;
    ScreenStillMapping mapping;
    QPointF from, to;
    ScreenRect expected;
  } cases[] = {
      // Halves round away from zero, also left of the main display.
      {"twice the points, left of and below the main display",
       {{-1280, 200, 1280, 1024}, {2560, 2048}},
       {101, 99},
       {901.2, 600.9},
       {-1230, 250, 401, 250}},
      {"beyond the picture is clamped to the display",
       {{-1280, 200, 1280, 1024}, {2560, 2048}},
       {-40, 3000},
       {3000, -40},
       {-1280, 200, 1280, 1024}},
      {"half the points, right of the main display",
       {{1920, 0, 1366, 768}, {683, 384}},
       {0.5, 0.5},
       {682.75, 383.25},
       {1921, 1, 1365, 766}},
      {"odd sizes reach the far edges exactly",
       {{0, 0, 1023, 767}, {1023, 767}},
       {0, 0},
       {1023, 767},
       {0, 0, 1023, 767}},
      {"an odd picture of a display above, dragged backwards",
       {{0, -1080, 1920, 1080}, {1001, 751}},
       {1001, 751},
       {500.5, 375.5},
       {960, -540, 960, 540}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.mapping.selection(c.from, c.to), c.expected) << c.what;
    // And back: the rectangle lies where it was dragged on the picture.
    const QRectF back = c.mapping.toPicture(c.expected);
    const QRectF dragged = QRectF(c.from, c.to).normalized() & QRectF(QPointF(), c.mapping.picture);
    const double pixelsPerPoint = c.mapping.picture.width() / c.mapping.display.width;
    EXPECT_NEAR(back.left(), dragged.left(), pixelsPerPoint) << c.what;
    EXPECT_NEAR(back.bottom(), dragged.bottom(), pixelsPerPoint) << c.what;
  }
  EXPECT_EQ(selectionText({-1230, 250, 401, 250}), "401 \u00D7 250 at -1230, 250");
}

TEST(ScreenStillMappingTest, FittingKeepsARectangleOnItsDisplay) {
  const ScreenStillMapping mapping{{-1280, 200, 1280, 1024}, {1280, 1024}};
  EXPECT_EQ(mapping.fitted({-1300, 1200, 2000, 10}), (ScreenRect{-1280, 1200, 1280, 10}));
  EXPECT_EQ(mapping.fitted({-500, 1300, 100, 100}), (ScreenRect{-500, 1124, 100, 100}));
  EXPECT_EQ(mapping.fitted({-10, 150, 0, 40}), (ScreenRect{-10, 200, 1, 40}));
  EXPECT_TRUE(ScreenStillMapping::isUsable({0, 0, 8, 8}));
  EXPECT_FALSE(ScreenStillMapping::isUsable({0, 0, 8, 7}));
}

// A picture of a desktop with two windows on it, for the photograph of the sheet.
CaptureSample desktopPicture(int width, int height) {
  QImage picture(width, height, QImage::Format_RGB32);
  picture.fill(QColor(38, 70, 110));
  QPainter painter(&picture);
  painter.fillRect(width / 10, height / 8, width / 2, height / 2, QColor(246, 246, 244));
  painter.fillRect(width / 10, height / 8, width / 2, 18, QColor(222, 222, 226));
  painter.fillRect(width / 2, height / 3, width / 3, height / 2, QColor(30, 30, 30));
  painter.setPen(QColor(120, 220, 120));
  for (int line = 0; line < 8; ++line) {
    painter.drawText(width / 2 + 10, height / 3 + 24 + line * 18, QStringLiteral("$ make test"));
  }
  painter.end();
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(
      picture.constBits(), picture.constBits() + picture.sizeInBytes());
  CaptureSample sample = testing::solidSample(1, 1);
  sample.contentRect = {0, 0, static_cast<double>(width), static_cast<double>(height)};
  sample.pixels =
      PixelBuffer::of(width, height, static_cast<int>(picture.bytesPerLine()), std::move(bytes));
  return sample;
}

class ScreenRegionSheetTest : public ::testing::Test, protected testing::ModelHarness {
 protected:
  static constexpr ScreenRect mainBounds{0, 0, 1920, 1080};
  static constexpr ScreenRect sideBounds{1920, -200, 1280, 1024};

  void SetUp() override {
    placesOverlays = false;
    fakes.windows->screens = {{1, mainBounds, 1, true}, {2, sideBounds, 1, false}};
    capture->content->displays = {{1, mainBounds}, {2, sideBounds}};
    model = makeModel();
    window = std::make_unique<MainWindow>(*model);
    window->show();
    settle();
  }
  void TearDown() override {
    window.reset();
    model->shutDown();
    settle();
  }
  ScreenRegionSheet* openSheet(const std::optional<Portal>& retarget = std::nullopt) {
    model->beginScreenRegionSelection(retarget);
    settle();
    auto* sheet = qobject_cast<ScreenRegionSheet*>(window->openSheet());
    if (sheet != nullptr) sheet->resize(800, 600);
    return sheet;
  }
  // Hands the newest stream a picture and waits until the sheet shows it.
  bool deliverPicture(ScreenRegionSheet* sheet, int width, int height) {
    return deliverPicture(sheet, testing::solidSample(width, height));
  }
  bool deliverPicture(ScreenRegionSheet* sheet, const CaptureSample& picture) {
    if (capture->streams.empty()) return false;
    const auto stream = capture->streams.back();
    return testing::eventually([&] { return stream->emit(picture); }) &&
           QTest::qWaitFor([&] { return !sheet->canvas()->image().isNull(); }, waitLimit);
  }
  bool stopped(const std::shared_ptr<testing::FakeCaptureStream>& stream) {
    return QTest::qWaitFor(
        [&] {
          const auto calls = stream->calls();
          return std::find(calls.begin(), calls.end(), "stop") != calls.end();
        },
        waitLimit);
  }
  void keys(QWidget* target, Qt::Key key, int times, Qt::KeyboardModifiers modifiers = {}) {
    for (int i = 0; i < times; ++i) QTest::keyClick(target, key, modifiers);
  }
  ScreenRect onlyRegion() {
    const auto portals = model->sharing().portals();
    EXPECT_EQ(portals.size(), 1u);
    if (portals.empty()) return {};
    return std::get<ScreenRegionPortalData>(portals[0].payload.value).region;
  }

  std::unique_ptr<AppModel> model;
  std::unique_ptr<MainWindow> window;
};

TEST_F(ScreenRegionSheetTest, AStillOfTheDisplayIsTakenOnceAndADragOnItBecomesThePortal) {
  ScreenRegionSheet* sheet = openSheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_TRUE(showing(sheet, "Taking a picture of the screen\u2026"));
  EXPECT_FALSE(button(sheet, "Use Region")->isEnabled());
  EXPECT_FALSE(button(sheet, "Try Again")->isVisibleTo(sheet));
  EXPECT_TRUE(sheet->displayChooser()->isVisibleTo(sheet));
  EXPECT_EQ(sheet->canvas()->accessibleName(), "Picture of the screen");

  // The main display, at its full size, without the pointer, leaving Tavelin's windows out.
  ASSERT_EQ(capture->streams.size(), 1u);
  const auto first = capture->streams[0];
  const auto* content = std::get_if<DisplayContent>(&first->filter.content);
  ASSERT_NE(content, nullptr);
  EXPECT_EQ(content->displayID, 1u);
  EXPECT_EQ(content->excludedProcessIDs, std::vector<std::int32_t>{fakes.windows->ownPID});
  EXPECT_EQ(first->configuration.width, 1920);
  EXPECT_EQ(first->configuration.height, 1080);
  EXPECT_FALSE(first->configuration.showsCursor);

  // The side display instead: the main display's picture, should it come late, is not shown.
  sheet->displayChooser()->setCurrentIndex(1);
  ASSERT_EQ(capture->streams.size(), 2u);
  EXPECT_TRUE(first->emit(testing::solidSample(1920, 1080)));
  ASSERT_TRUE(stopped(first));
  // This desktop hands over a picture of half the display's points.
  ASSERT_TRUE(deliverPicture(sheet, desktopPicture(640, 512)));
  EXPECT_EQ(std::get<DisplayContent>(capture->streams[1]->filter.content).displayID, 2u);
  EXPECT_TRUE(stopped(capture->streams[1]));
  EXPECT_FALSE(showing(sheet, "Taking a picture of the screen\u2026"));
  EXPECT_EQ(sheet->canvas()->mapping().display, sideBounds);

  // Too small a drag cannot be used, as on the desktop overlay.
  ScreenStillCanvas* canvas = sheet->canvas();
  testing::drag(canvas, canvas->toWidget({10, 10}).toPoint(), canvas->toWidget({12, 12}).toPoint());
  EXPECT_FALSE(button(sheet, "Use Region")->isEnabled());
  EXPECT_EQ(sheet->selectionLabel()->text(), "At least 8 \u00D7 8 points");

  testing::drag(canvas, canvas->toWidget({100, 50}).toPoint(),
                canvas->toWidget({420, 290}).toPoint());
  const auto chosen = canvas->selection();
  ASSERT_TRUE(chosen);
  // Within a widget pixel of the drag (a few points at this scale), whatever the sheet's size.
  const double slack = 4;
  EXPECT_NEAR(chosen->x, 1920 + 200, slack);
  EXPECT_NEAR(chosen->y, -200 + 100, slack);
  EXPECT_NEAR(chosen->width, 640, slack);
  EXPECT_NEAR(chosen->height, 480, slack);
  EXPECT_EQ(sheet->selectionLabel()->text(), selectionText(*chosen));
  EXPECT_EQ(canvas->accessibleDescription(), "Selected " + selectionText(*chosen));

  QDir().mkpath(QStringLiteral(TAVELIN_SCREENSHOTS));
  EXPECT_TRUE(sheet->grab().save(QStringLiteral(TAVELIN_SCREENSHOTS "/screen-region-still.png")));

  button(sheet, "Use Region")->click();
  settle();
  EXPECT_EQ(window->openSheet(), nullptr);
  EXPECT_EQ(onlyRegion(), *chosen);
  EXPECT_EQ(capture->streams.size(), 2u);  // nothing more was captured
}

TEST_F(ScreenRegionSheetTest, TheKeyboardPlacesTheRectangleAndReturnOrEscapeEndTheSheet) {
  // From the creation sheet, which makes way for it; Escape leaves everything as it was.
  model->setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
  settle();
  ASSERT_NE(window->openSheet(), nullptr);
  auto* choice = qobject_cast<QCommandLinkButton*>(button(window->openSheet(), "Screen region"));
  ASSERT_NE(choice, nullptr);
  EXPECT_EQ(choice->description(), "Drag a rectangle on a picture of the screen.");
  choice->click();
  settle();
  auto* sheet = qobject_cast<ScreenRegionSheet*>(window->openSheet());
  ASSERT_NE(sheet, nullptr);
  sheet->resize(800, 600);
  ASSERT_TRUE(deliverPicture(sheet, 1920, 1080));
  ScreenStillCanvas* canvas = sheet->canvas();
  QTest::keyClick(canvas, Qt::Key_Right);
  EXPECT_EQ(canvas->selection(), (ScreenRect{480, 270, 960, 540}));  // the middle, to begin
  QTest::keyClick(canvas, Qt::Key_Escape);
  settle();
  EXPECT_EQ(window->openSheet(), nullptr);
  EXPECT_TRUE(model->sharing().portals().empty());

  // Arrows move, Ctrl moves ten at a time, Shift resizes; the display's edges hold.
  sheet = openSheet();
  ASSERT_TRUE(deliverPicture(sheet, 1920, 1080));
  canvas = sheet->canvas();
  QTest::keyClick(canvas, Qt::Key_Down);
  keys(canvas, Qt::Key_Left, 3);
  keys(canvas, Qt::Key_Up, 2, Qt::ControlModifier);
  EXPECT_EQ(canvas->selection(), (ScreenRect{477, 250, 960, 540}));
  keys(canvas, Qt::Key_Left, 100, Qt::ShiftModifier | Qt::ControlModifier);
  keys(canvas, Qt::Key_Down, 5, Qt::ShiftModifier);
  EXPECT_EQ(canvas->selection(), (ScreenRect{477, 250, 8, 545}));
  keys(canvas, Qt::Key_Down, 100, Qt::ControlModifier);
  keys(canvas, Qt::Key_Right, 200, Qt::ShiftModifier | Qt::ControlModifier);
  EXPECT_EQ(canvas->selection(), (ScreenRect{477, 535, 1443, 545}));
  EXPECT_TRUE(button(sheet, "Use Region")->isEnabled());
  QTest::keyClick(canvas, Qt::Key_Return);
  settle();
  EXPECT_EQ(window->openSheet(), nullptr);
  EXPECT_EQ(onlyRegion(), (ScreenRect{477, 535, 1443, 545}));
}

TEST_F(ScreenRegionSheetTest, SelectingAgainGivesTheSamePortalItsNewRegion) {
  const Portal portal{Uuid::random(), "Chart", clock.now(),
                      ScreenRegionPortalData{{0, 0, 400, 300}, 1, false}};
  model->sharing().add(portal);
  model->setSheet(SheetKind{SheetKind::Kind::edit, portal, false, {}});
  settle();
  auto* edit = qobject_cast<EditPortalSheet*>(window->openSheet());
  ASSERT_NE(edit, nullptr);
  button(edit, "Select Region Again\u2026")->click();
  settle();
  auto* sheet = qobject_cast<ScreenRegionSheet*>(window->openSheet());
  ASSERT_NE(sheet, nullptr);
  sheet->resize(800, 600);
  ASSERT_TRUE(deliverPicture(sheet, 1920, 1080));
  sheet->canvas()->setSelection(ScreenRect{100, 100, 50, 60});
  button(sheet, "Use Region")->click();
  settle();
  const auto portals = model->sharing().portals();
  ASSERT_EQ(portals.size(), 1u);
  EXPECT_EQ(portals[0].id, portal.id);
  EXPECT_EQ(portals[0].name, "Chart");
  const auto& region = std::get<ScreenRegionPortalData>(portals[0].payload.value);
  EXPECT_EQ(region.region, (ScreenRect{100, 100, 50, 60}));
  EXPECT_FALSE(region.showBorder);
}

TEST_F(ScreenRegionSheetTest, WithoutAPictureTheSheetSaysWhyAndOffersToTryAgainOrCancel) {
  const struct {
    const char* what;
    std::function<void()> breakCapture;
    QString says;
  } failures[] = {
      {"refused",
       [this] { capture->startError = std::make_error_code(std::errc::permission_denied); },
       "The desktop refused to capture the screen (" +
           QString::fromStdString(std::make_error_code(std::errc::permission_denied).message()) +
           ")."},
      {"not allowed", [this] { capture->permitted = false; },
       "This desktop does not let Tavelin capture the screen."},
      {"display gone", [this] { capture->content->displays.pop_back(); },
       "That display is not connected any more."},
  };
  for (const auto& failure : failures) {
    failure.breakCapture();
    ScreenRegionSheet* sheet = openSheet();
    ASSERT_NE(sheet, nullptr) << failure.what;
    if (capture->content->displays.size() < 2) sheet->displayChooser()->setCurrentIndex(1);
    const QString expected = failure.says + " Try again, or cancel.";
    ASSERT_TRUE(QTest::qWaitFor([&] { return sheet->status()->text() == expected; }, waitLimit))
        << failure.what << ": " << sheet->status()->text().toStdString();
    EXPECT_TRUE(button(sheet, "Try Again")->isVisibleTo(sheet)) << failure.what;
    EXPECT_FALSE(button(sheet, "Use Region")->isEnabled()) << failure.what;
    button(sheet, "Cancel")->click();
    settle();
    EXPECT_EQ(window->openSheet(), nullptr) << failure.what;
    capture->startError = {};
    capture->permitted = true;
    capture->content->displays = {{1, mainBounds}, {2, sideBounds}};
  }
  EXPECT_TRUE(model->sharing().portals().empty());

  // A stream that ends on its own before its first picture; trying again then succeeds.
  ScreenRegionSheet* sheet = openSheet();
  ASSERT_FALSE(capture->streams.empty());
  capture->streams.back()->failWith(std::make_error_code(std::errc::io_error));
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return button(sheet, "Try Again")->isVisibleTo(sheet); }, waitLimit));
  EXPECT_TRUE(sheet->status()->text().startsWith("The desktop refused to capture the screen"));
  button(sheet, "Try Again")->click();
  EXPECT_TRUE(showing(sheet, "Taking a picture of the screen\u2026"));
  EXPECT_FALSE(button(sheet, "Try Again")->isVisibleTo(sheet));
  ASSERT_TRUE(deliverPicture(sheet, 1920, 1080));
}

TEST_F(ScreenRegionSheetTest, WhereTheBorderIsSetTheWindowSaysItCannotBeDrawn) {
  window->showSettings();
  auto* settings = window->findChild<SettingsDialog*>();
  ASSERT_NE(settings, nullptr);
  EXPECT_TRUE(showing(settings, borderNotice));
  const Portal portal{Uuid::random(), "Chart", clock.now(),
                      ScreenRegionPortalData{{0, 0, 400, 300}, 1, true}};
  EditPortalSheet edit(*model, portal);
  EXPECT_TRUE(showing(&edit, borderNotice));
  // Nothing asks this desktop for the overlays the shell would otherwise place.
  TavelinApp app(*model);
  EXPECT_FALSE(model->sharing().showRegionBorder);
  EXPECT_FALSE(model->presentRegionSelection);
}

TEST(RegionBorderNoticeTest, ADesktopThatDrawsTheBorderSaysNothingAboutIt) {
  testing::ModelHarness harness;
  auto model = harness.makeModel();
  MainWindow window(*model);
  window.showSettings();
  auto* settings = window.findChild<SettingsDialog*>();
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(settings->findChild<QLabel*>("borderNotice"), nullptr);
  EditPortalSheet edit(*model, Portal{Uuid::random(), "Chart", harness.clock.now(),
                                      ScreenRegionPortalData{{0, 0, 400, 300}, 1, true}});
  EXPECT_EQ(edit.findChild<QLabel*>("borderNotice"), nullptr);
  // The overlay is asked for instead of the sheet.
  int presented = 0;
  model->presentRegionSelection = [&](auto) { ++presented; };
  model->beginScreenRegionSelection();
  EXPECT_EQ(presented, 1);
  EXPECT_FALSE(model->sheet());
  model->shutDown();
}

}  // namespace
}  // namespace tavelin
