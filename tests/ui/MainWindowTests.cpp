// The window over a model with fakes, on Qt's offscreen platform: what each section says empty
// and filled, the PIN's privacy, the questions before destructive actions and what they do,
// the pickers of the creation sheet, and the settings pane.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <set>

#include "TavelinHost/UI/ConnectionCard.hpp"
#include "TavelinHost/UI/DeviceHistorySheet.hpp"
#include "TavelinHost/UI/EditPortalSheet.hpp"
#include "TavelinHost/UI/MainWindow.hpp"
#include "TavelinHost/UI/MoveWindowSheet.hpp"
#include "TavelinHost/UI/PinFormatter.hpp"
#include "TavelinHost/UI/PortalFlowSheet.hpp"
#include "TavelinHost/UI/SettingsDialog.hpp"
#include "TavelinHost/UI/Symbols.hpp"
#include "TavelinHost/UI/ViewKit.hpp"
#include "TavelinHost/UI/VirtualDisplayViews.hpp"
#include "TavelinHost/UI/WindowPicker.hpp"
#include "TavelinKit/Foundation/Files.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/ui/DialogAnswerer.hpp"
#include "tests/ui/UiFixture.hpp"

namespace tavelin {
namespace {

using testing::button;
using testing::label;
using testing::settle;
using testing::showing;

class MainWindowTest : public ::testing::Test, protected testing::ModelHarness {
 protected:
  void SetUp() override {
    testing::addSampleWindows(*capture);
    model = makeModel();
    model->connection().copyText = [this](const QString& text) { copied = text; };
    window = std::make_unique<MainWindow>(*model);
    window->show();
    settle();
  }
  void TearDown() override {
    window.reset();
    model->shutDown();
    settle();
  }
  Portal region(const char* name) {
    return Portal{Uuid::random(), name, clock.now(),
                  ScreenRegionPortalData{{0, 0, 400, 300}, 1, true}};
  }
  // Picks an entry of a tool button's menu, as a click on it would.
  void chooseFromMenu(QToolButton* tool, const QString& entry) {
    ASSERT_NE(tool, nullptr);
    ASSERT_NE(tool->menu(), nullptr);
    for (QAction* action : tool->menu()->actions()) {
      if (action->text() == entry) {
        action->trigger();
        return;
      }
    }
    FAIL() << "no menu entry " << entry.toStdString();
  }
  QToolButton* moreActionsOf(const QString& portalName) {
    for (auto* tool : window->findChildren<QToolButton*>()) {
      if (tool->accessibleName() == QStringLiteral("More actions for ") + portalName) return tool;
    }
    return nullptr;
  }
  template <typename Sheet>
  Sheet* sheet() {
    settle();
    return qobject_cast<Sheet*>(window->openSheet());
  }

  std::unique_ptr<AppModel> model;
  std::unique_ptr<MainWindow> window;
  QString copied;  // what the model put on the clipboard
};

TEST(PinFormatterTest, GroupsSixDigitsAndSpellsThemOut) {
  EXPECT_EQ(PinFormatter::grouped("123456"), "123 456");
  EXPECT_EQ(PinFormatter::grouped("12345"), "12345");
  EXPECT_EQ(PinFormatter::grouped("1234567"), "1234567");
  EXPECT_EQ(PinFormatter::grouped("12a456"), "12a456");
  EXPECT_EQ(PinFormatter::grouped(QString::fromUtf8("\u0661\u0662\u0663\u0664\u0665\u0666")),
            QString::fromUtf8("\u0661\u0662\u0663\u0664\u0665\u0666"));
  EXPECT_EQ(PinFormatter::spelledOut("123456"), "Pairing PIN 1 2 3 4 5 6");
  EXPECT_EQ(PinFormatter::spelledOut("\u2014\u2014\u2014\u2014\u2014\u2014"), "Pairing PIN ");
}

TEST(SymbolsTest, EveryBundledIconDrawsUnderItsOwnName) {
  symbolIcon("plus");  // loads the bundled pictures
  const QStringList files = QDir(":/tavelin/icons").entryList();
  EXPECT_GE(files.size(), 20);
  QIcon::setThemeSearchPaths({});  // no theme: every icon must come from the bundle
  for (const QString& file : files) {
    const QImage picture = symbolIcon(QFileInfo(file).completeBaseName()).pixmap(32, 32).toImage();
    ASSERT_FALSE(picture.isNull()) << file.toStdString();
    bool drawn = false;
    for (int y = 0; y < picture.height() && !drawn; ++y) {
      for (int x = 0; x < picture.width() && !drawn; ++x) drawn = qAlpha(picture.pixel(x, y)) > 0;
    }
    EXPECT_TRUE(drawn) << file.toStdString();
  }
}

TEST_F(MainWindowTest, AnEmptyHostSaysWhatIsMissingAndHowToBegin) {
  EXPECT_EQ(window->windowTitle(), "Tavelin");
  EXPECT_TRUE(showing(window.get(), "No portals yet"));
  EXPECT_TRUE(showing(window.get(),
                      "A portal shares exactly one thing \u2014 a region, a window, or part of a "
                      "window. Nothing else from your desktop is streamed."));
  EXPECT_TRUE(showing(window.get(), "No paired devices"));
  EXPECT_TRUE(showing(window.get(), "No virtual display"));
  EXPECT_TRUE(showing(window.get(), "Create virtual display"));
  EXPECT_FALSE(showing(window.get(), "Approve connection"));
  EXPECT_TRUE(showing(window.get(), "Ask before allowing a new device"));
  EXPECT_TRUE(showing(window.get(), "Scan to open"));
  EXPECT_TRUE(showing(window.get(), "Open on your phone"));
  EXPECT_TRUE(showing(window.get(), "starting\u2026"));
  // Nothing to copy or share before the server listens.
  EXPECT_FALSE(button(window.get(), "Copy link")->isEnabled());

  button(window.get(), "Create Portal")->click();
  EXPECT_NE(sheet<PortalFlowSheet>(), nullptr);
}

TEST_F(MainWindowTest, ThePinStaysHiddenUntilTheUserAsks) {
  model->start();
  settle();
  ConnectionCard* card = window->connectionCard();
  const QString pin = model->phones().pin();
  ASSERT_EQ(pin.size(), 6);
  EXPECT_FALSE(card->isPinRevealed());
  // The whole PIN, plain or grouped: three of its digits may well be in the address's port.
  for (auto* text : card->findChildren<QLabel*>()) {
    EXPECT_FALSE(text->text().contains(pin)) << text->text().toStdString();
    EXPECT_FALSE(text->text().contains(PinFormatter::grouped(pin))) << text->text().toStdString();
  }
  EXPECT_TRUE(showing(card,
                      "Hidden so nobody can read it over your shoulder. Reveal it only when you "
                      "are alone."));
  EXPECT_TRUE(showing(card,
                      "Needed once per device \u2014 it changes after every successful "
                      "pairing."));

  button(card, "Show the PIN (make sure nobody is watching)")->click();
  QLabel* shown = label(card, PinFormatter::grouped(pin));
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->text(), pin.left(3) + " " + pin.right(3));
  EXPECT_EQ(shown->accessibleName(), PinFormatter::spelledOut(pin));
  EXPECT_FALSE(showing(card,
                       "Hidden so nobody can read it over your shoulder. Reveal it only "
                       "when you are alone."));

  // A new PIN replaces the one shown.
  button(card, "Generate a new PIN")->click();
  settle();
  EXPECT_NE(model->phones().pin(), pin);
  EXPECT_NE(label(card, PinFormatter::grouped(model->phones().pin())), nullptr);
  EXPECT_TRUE(showing(window.get(), model->connection().connectionURL()));
  EXPECT_TRUE(button(card, "Copy link")->isEnabled());

  // Without a share sheet for links, sharing shows the address with a large code to copy.
  button(card, "Share link")->click();
  settle();
  auto* share = window->findChild<QDialog*>();
  ASSERT_NE(share, nullptr);
  EXPECT_EQ(share->windowTitle(), "Share link");
  EXPECT_TRUE(showing(share, model->connection().connectionURL()));
  button(share, "Copy link")->click();
  EXPECT_EQ(copied, model->connection().connectionURL());
}

TEST_F(MainWindowTest, PortalsShowTheirStateStartStopAndAskBeforeDeleting) {
  const Portal first = region("Dashboard");
  model->sharing().add(first);
  model->sharing().add(region("Chart"));  // the newest becomes the active one; both are shared
  settle();
  EXPECT_FALSE(showing(window.get(), "No portals yet"));
  EXPECT_TRUE(showing(window.get(), "Dashboard"));
  EXPECT_TRUE(showing(window.get(), QString::fromStdString(first.summary())));
  EXPECT_FALSE(showing(window.get(), "Not shared"));

  auto toggles = window->findChildren<QToolButton*>("toggle");
  ASSERT_EQ(toggles.size(), 2);
  EXPECT_EQ(toggles[0]->toolTip(), "Stop sharing this portal");
  EXPECT_EQ(toggles[1]->toolTip(), "Stop sharing this portal");
  toggles[0]->click();
  settle();
  EXPECT_FALSE(model->sharing().portals()[0].shared);
  EXPECT_TRUE(showing(window.get(), "Not shared"));
  toggles = window->findChildren<QToolButton*>("toggle");
  EXPECT_EQ(toggles[0]->toolTip(), "Start sharing this portal");
  toggles[0]->click();
  settle();
  EXPECT_EQ(model->sharing().activePortalID(), first.id);
  EXPECT_EQ(window->findChildren<QToolButton*>("toggle")[0]->toolTip(), "Stop sharing this portal");

  // One action stops every portal; it stays offered only while something is shared.
  QAction* stopAll = nullptr;
  for (auto* action : window->findChildren<QAction*>()) {
    if (action->text() == "Stop All Sharing") stopAll = action;
  }
  ASSERT_NE(stopAll, nullptr);
  EXPECT_TRUE(stopAll->isEnabled());
  stopAll->trigger();
  settle();
  EXPECT_FALSE(model->sharing().isAnythingShared());
  EXPECT_FALSE(stopAll->isEnabled());
  for (auto* toggle : window->findChildren<QToolButton*>("toggle")) {
    EXPECT_EQ(toggle->toolTip(), "Start sharing this portal");
  }
  model->sharing().activate(first);
  settle();

  // Cancel keeps the portal; Delete removes it.
  testing::DialogAnswerer cancel("Cancel");
  chooseFromMenu(moreActionsOf("Dashboard"), "Delete");
  EXPECT_EQ(cancel.seen().title, "Delete \u201CDashboard\u201D?");
  EXPECT_EQ(cancel.seen().message, "Any phone currently viewing this portal is disconnected.");
  EXPECT_TRUE(cancel.seen().buttons.contains("Delete"));
  EXPECT_EQ(model->sharing().portals().size(), 2u);
  testing::DialogAnswerer confirm("Delete");
  chooseFromMenu(moreActionsOf("Dashboard"), "Delete");
  settle();
  ASSERT_TRUE(confirm.seen().answered);
  ASSERT_EQ(model->sharing().portals().size(), 1u);
  EXPECT_EQ(model->sharing().portals()[0].name, "Chart");
  EXPECT_EQ(model->sharing().activePortalID(), std::nullopt);  // the active one went first
  EXPECT_FALSE(showing(window.get(), "Dashboard"));

  // Edit: the sheet the menu opens saves a new name and the outline choice.
  chooseFromMenu(moreActionsOf("Chart"), "Edit\u2026");
  auto* edit = sheet<EditPortalSheet>();
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->windowTitle(), "Edit Portal");
  EXPECT_NE(button(edit, "Select Region Again\u2026"), nullptr);
  edit->findChild<QLineEdit*>()->setText("Sales chart");
  button(edit, "Outline the region on the desktop")->click();
  edit->save();
  settle();
  EXPECT_EQ(model->sharing().portals()[0].name, "Sales chart");
  EXPECT_FALSE(
      std::get<ScreenRegionPortalData>(model->sharing().portals()[0].payload.value).showBorder);
  EXPECT_EQ(model->sheet(), std::nullopt);
  EXPECT_EQ(window->openSheet(), nullptr);
}

TEST_F(MainWindowTest, DevicesShowNamesLiterallyAndRevokingAsksFirst) {
  const auto device = model->phones().pairing()->issueToken(std::string("<b>x</b>")).device;
  model->phones().pairing()->issueToken(std::string("Tablet"));
  settle();
  EXPECT_FALSE(showing(window.get(), "No paired devices"));
  QLabel* name = label(window.get(), "<b>x</b>");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->textFormat(), Qt::PlainText);
  EXPECT_NE(label(window.get(), "Added " + ui::dateText(device.pairedAt)), nullptr);
  EXPECT_NE(label(window.get(), "Last used " + ui::dateText(device.lastSeenAt)), nullptr);

  QToolButton* more = nullptr;
  for (auto* row : window->findChildren<QWidget*>("DeviceRow")) {
    if (label(row, "<b>x</b>") != nullptr) more = row->findChild<QToolButton*>();
  }
  testing::DialogAnswerer cancel("Cancel");
  chooseFromMenu(more, "Revoke Access");
  EXPECT_EQ(cancel.seen().title, "Revoke access for \u201C<b>x</b>\u201D?");
  EXPECT_EQ(cancel.seen().message,
            "The device is disconnected and must pair again with a new PIN.");
  EXPECT_EQ(model->phones().devices().size(), 2u);
  testing::DialogAnswerer revoke("Revoke Access");
  chooseFromMenu(more, "Revoke Access");
  settle();
  ASSERT_EQ(model->phones().devices().size(), 1u);
  EXPECT_EQ(model->phones().devices()[0].name, "Tablet");

  // Revoke All from the toolbar's menu.
  testing::DialogAnswerer all("Revoke All");
  chooseFromMenu(window->moreButton(), "Revoke All Access\u2026");
  settle();
  EXPECT_EQ(all.seen().title, "Revoke access for all devices?");
  EXPECT_EQ(all.seen().message, "Every paired device is disconnected and must pair again.");
  EXPECT_TRUE(model->phones().devices().empty());
  EXPECT_TRUE(showing(window.get(), "No paired devices"));
}

TEST_F(MainWindowTest, EachPortalListsItsWatchersAndDisconnectKeepsThePhonePaired) {
  model->start();  // the server the phones reach
  const Portal dashboard = region("Dashboard");
  model->sharing().add(region("Chart"));
  model->sharing().add(dashboard);  // the newest is the one a new phone watches
  const auto pixel = model->phones().pairing()->issueToken(std::string("Pixel <8>")).device;
  const auto tablet = model->phones().pairing()->issueToken(std::string("Tablet")).device;
  std::string answer;
  auto first = testing::openStream(*model, pixel, answer);
  auto second = testing::openStream(*model, tablet, answer);
  const auto streams = [&] {
    model->refreshRuntimeState();
    settle();
    return model->connection().refreshedStreams();
  };
  ASSERT_TRUE(testing::eventually([&] {
    const auto open = streams();
    return open.size() == 2 && open[0].portal == dashboard.id && open[1].portal == dashboard.id;
  })) << model->connection().refreshedStreams().size()
      << " "
      << (model->connection().refreshedStreams().empty() ||
                  !model->connection().refreshedStreams()[0].portal
              ? "-"
              : model->connection().refreshedStreams()[0].portal->string())
      << " " << dashboard.id.string();

  // Under the portal that is watched, never under the other; names as they are, with the
  // address each came from. The rows go oldest first, and which of two streams opened at once
  // the server took first is its own affair: each is found by its name.
  const auto rowsOf = [&] { return window->findChildren<QWidget*>("WatcherRow"); };
  const auto rowOf = [&](const QString& name) -> QWidget* {
    for (QWidget* row : rowsOf()) {
      if (label(row, name) != nullptr) return row;
    }
    return nullptr;
  };
  ASSERT_EQ(rowsOf().size(), 2);
  ASSERT_NE(rowOf("Pixel <8>"), nullptr);
  EXPECT_EQ(label(rowOf("Pixel <8>"), "Pixel <8>")->textFormat(), Qt::PlainText);
  const auto watching = streams();
  const auto pixelStream = std::find_if(watching.begin(), watching.end(), [&](const auto& stream) {
    return stream.device == pixel.id;
  });
  ASSERT_NE(pixelStream, watching.end());
  EXPECT_TRUE(label(rowOf("Pixel <8>"), "127.0.0.1 \u00B7 " + ui::sinceText(pixelStream->since)));
  EXPECT_NE(rowOf("Tablet"), nullptr);
  QVBoxLayout* under = nullptr;
  for (auto* row : window->findChildren<QWidget*>("PortalRow")) {
    if (label(row, "Dashboard") == nullptr) continue;
    // The rows follow their portal's row in the section's column.
    auto* column = qobject_cast<QVBoxLayout*>(row->parentWidget()->layout());
    ASSERT_NE(column, nullptr);
    under = qobject_cast<QVBoxLayout*>(column->itemAt(column->indexOf(row) + 1)->layout());
  }
  ASSERT_NE(under, nullptr);
  EXPECT_EQ(under->count(), 2);
  // Each device row says what it watches.
  EXPECT_TRUE(showing(window.get(), "Watching \u201CDashboard\u201D"));

  QAbstractButton* disconnect = nullptr;
  for (auto* candidate : window->findChildren<QPushButton*>()) {
    if (candidate->accessibleName() == "Disconnect Pixel <8>") disconnect = candidate;
  }
  ASSERT_NE(disconnect, nullptr);
  EXPECT_EQ(disconnect->text(), "Disconnect");
  disconnect->click();
  EXPECT_TRUE(first->client().readUntilClosed());  // whatever it was sent, then the end
  ASSERT_TRUE(testing::eventually([&] { return streams().size() == 1; }));
  ASSERT_EQ(rowsOf().size(), 1);
  EXPECT_NE(rowOf("Tablet"), nullptr);
  EXPECT_EQ(model->phones().devices().size(), 2u);  // still paired
  EXPECT_TRUE(testing::loggedSoon(*model, "Disconnected Pixel <8> (1 stream); it stays paired"));

  // Stopped, the portal has no watchers; its phone stays connected, choosing.
  model->sharing().stopSharing(dashboard);
  ASSERT_TRUE(testing::eventually([&] {
    const auto open = streams();
    return open.size() == 1 && !open[0].portal;
  }));
  EXPECT_TRUE(rowsOf().empty());
  EXPECT_TRUE(showing(window.get(), "Choosing a portal"));
  EXPECT_FALSE(showing(window.get(), "Watching \u201CDashboard\u201D"));
}

TEST_F(MainWindowTest, EveryControlHasANameAndTabReachesIt) {
  model->start();
  model->sharing().add(region("Dashboard"));
  const auto pixel = model->phones().pairing()->issueToken(std::string("Pixel")).device;
  model->phones().pendingStore()->create("Tablet");
  std::string answer;
  auto phone = testing::openStream(*model, pixel, answer);
  ASSERT_TRUE(testing::eventually([&] {
    model->refreshRuntimeState();
    settle();
    return !window->findChildren<QWidget*>("WatcherRow").empty();
  }));
  // Opened at the top, with the focus on nothing part-way down.
  auto* scroll = qobject_cast<QScrollArea*>(window->centralWidget());
  ASSERT_NE(scroll, nullptr);
  EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);
  EXPECT_EQ(QApplication::focusWidget(), scroll);

  std::set<QWidget*> chain;
  for (QWidget* at = window->nextInFocusChain(); at != window.get(); at = at->nextInFocusChain()) {
    if (at->focusPolicy() & Qt::TabFocus) chain.insert(at);
  }
  int controls = 0;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    const bool control = qobject_cast<QAbstractButton*>(widget) ||
                         qobject_cast<QComboBox*>(widget) || qobject_cast<QLineEdit*>(widget);
    if (!control || !widget->isVisibleTo(window.get())) continue;
    ++controls;
    auto* button = qobject_cast<QAbstractButton*>(widget);
    const QString name =
        widget->accessibleName().isEmpty() && button ? button->text() : widget->accessibleName();
    EXPECT_FALSE(name.trimmed().isEmpty()) << widget->metaObject()->className() << " "
                                           << widget->objectName().toStdString() << " has no name";
    EXPECT_TRUE(chain.count(widget)) << name.toStdString() << " cannot be reached with Tab";
  }
  EXPECT_GT(controls, 15);
}

TEST_F(MainWindowTest, TheHistorySheetShowsTheTimelineAndClearsItAfterAsking) {
  const auto device = model->phones().pairing()->issueToken(std::string("Pixel")).device;
  settle();
  for (auto* row : window->findChildren<QWidget*>("DeviceRow")) {
    row->findChild<QPushButton*>()->click();
  }
  auto* history = sheet<DeviceHistorySheet>();
  ASSERT_NE(history, nullptr);
  ASSERT_EQ(history->timeline()->count(), 1);  // paired
  EXPECT_TRUE(history->timeline()->item(0)->text().startsWith("Paired \u00B7 "));
  EXPECT_NE(label(history, "0"), nullptr);  // connections

  testing::DialogAnswerer clear("Clear History");
  button(history, "Clear History")->click();
  settle();
  EXPECT_EQ(clear.seen().title, "Clear history for \u201CPixel\u201D?");
  EXPECT_EQ(clear.seen().message,
            "The device stays paired; only its recorded activity is removed.");
  EXPECT_TRUE(model->phones().history(device.id).empty());
  EXPECT_TRUE(showing(history, "Connections and disconnections will appear here."));
  EXPECT_EQ(model->phones().devices().size(), 1u);
  button(history, "Done")->click();
  settle();
  EXPECT_EQ(model->sheet(), std::nullopt);
}

TEST_F(MainWindowTest, ApprovalsAppearWhileWaitingAndAllowOrDenyThem) {
  model->phones().pendingStore()->create("Anna's <i>phone</i>");
  const auto second = model->phones().pendingStore()->create("Tablet");
  settle();
  EXPECT_TRUE(showing(window.get(), "Approve connection"));
  EXPECT_TRUE(showing(window.get(), "Anna's <i>phone</i> wants to connect"));
  EXPECT_EQ(label(window.get(), "Anna's <i>phone</i> wants to connect")->textFormat(),
            Qt::PlainText);

  for (auto* allow : window->findChildren<QPushButton*>()) {
    if (allow->text() == "Allow" && allow->accessibleDescription().startsWith("Anna")) {
      allow->click();
      break;
    }
  }
  settle();
  ASSERT_EQ(model->phones().pendingRequests().size(), 1u);
  EXPECT_EQ(model->phones().pendingRequests()[0].id, second);
  button(window.get(), "Deny")->click();
  settle();
  EXPECT_TRUE(model->phones().pendingRequests().empty());
  EXPECT_FALSE(showing(window.get(), "Approve connection"));
  bool approved = false, denied = false;
  for (const auto& entry : model->activity().lines()) {
    approved = approved || (entry.category == "Pairing" && entry.message == "Connection approved");
    denied = denied || (entry.category == "Pairing" && entry.message == "Connection denied");
  }
  EXPECT_TRUE(approved && denied);

  // The toggle is the stored setting.
  auto* ask = qobject_cast<QCheckBox*>(button(window.get(), "Ask before allowing a new device"));
  EXPECT_FALSE(ask->isChecked());
  ask->click();
  EXPECT_TRUE(model->settings().requireApproval());
  EXPECT_TRUE(HostSettings::load(directory.path() / "settings.json").requireApproval);
}

TEST_F(MainWindowTest, AFirewallBannerOffersItsCommand) {
  answers->curl = "000";
  answers->ufw = "Status: active\nDefault: deny (incoming), allow (outgoing), disabled (routed)\n";
  model->start();
  runProbes();
  EXPECT_TRUE(showing(window.get(), "Your phone cannot reach this computer"));
  const QString command = "sudo ufw allow " + QString::number(testing::testPort()) + "/tcp";
  EXPECT_TRUE(showing(window.get(), command));
  button(window.get(), "Copy Command")->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), command);
}

TEST_F(MainWindowTest, ActivityTogglesWithTheToolbarAndCopiesTheLog) {
  model->start();
  settle();
  EXPECT_FALSE(window->activityDock()->isVisible());
  QTest::keyClick(window.get(), Qt::Key_L, Qt::ControlModifier | Qt::AltModifier);
  settle();
  EXPECT_TRUE(model->showActivity());
  EXPECT_TRUE(window->activityDock()->isVisible());
  EXPECT_TRUE(window->activityText()->toPlainText().contains("[Host] Host starting"));
  button(window->activityDock(), "Copy")->click();
  EXPECT_TRUE(QGuiApplication::clipboard()->text().contains("Server listening on port"));
  model->setShowActivity(false);
  settle();
  EXPECT_FALSE(window->activityDock()->isVisible());
}

TEST_F(MainWindowTest, TheVirtualDisplayCardMakesWatchesSharesAndRemovesTheDisplay) {
  const ScreenRect parked{1920, 0, 1920, 1080};
  fakes.windows->screens.push_back({7, parked, 1, false});
  capture->content->displays.push_back({7, parked});
  button(window.get(), "Create virtual display")->click();
  settle();
  EXPECT_FALSE(showing(window.get(), "No virtual display"));
  EXPECT_TRUE(showing(window.get(), "1920 \u00D7 1080"));

  // The card's live preview: a capture of that display at 12 pictures a second.
  ASSERT_EQ(capture->streams.size(), 1u);
  EXPECT_EQ(capture->streams[0]->configuration.minimumFrameInterval,
            std::chrono::microseconds(83333));
  ASSERT_TRUE(testing::eventually(
      [&] { return capture->streams[0]->emit(testing::solidSample(1920, 1080)); }));
  auto previews = window->findChildren<RegionCanvas*>();
  ASSERT_EQ(previews.size(), 1u);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !previews[0]->image().isNull(); }, 5000));

  // Its window: waiting for the first picture, then sharing the whole display.
  button(window.get(), "Open window")->click();
  auto* display = window->findChild<VirtualDisplayWindow*>();
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(display->windowTitle(), "Virtual Display");
  EXPECT_TRUE(showing(display, "Connecting to the display\u2026"));
  EXPECT_FALSE(button(display, "Share selected region")->isEnabled());
  button(display, "Share whole display")->click();
  settle();
  ASSERT_EQ(model->sharing().portals().size(), 1u);
  EXPECT_EQ(model->sharing().portals()[0].name, "Virtual region 1920\u00D71080");
  EXPECT_EQ(std::get<ScreenRegionPortalData>(model->sharing().portals()[0].payload.value).region,
            parked);

  button(window.get(), "Move window here")->click();
  auto* move = sheet<MoveWindowSheet>();
  ASSERT_NE(move, nullptr);
  EXPECT_TRUE(showing(move, "Pick the window to move onto the virtual display."));
  button(move, "Cancel")->click();
  settle();
  EXPECT_EQ(model->sheet(), std::nullopt);

  button(window.get(), "Remove")->click();
  settle();
  EXPECT_TRUE(showing(window.get(), "No virtual display"));
  EXPECT_TRUE(showing(display, "Create a virtual display in the main window first."));
}

TEST_F(MainWindowTest, ADesktopThatMovesNoWindowsSaysSoInsteadOfOfferingWindowsToPick) {
  window.reset();
  model->shutDown();
  settle();
  virtualDisplayNote = "Experimental. A virtual monitor beside your screens.";
  noWindowMoves = "This desktop moves no windows: drag it there yourself.";
  fakes.control->trusted = false;
  model = makeModel();
  window = std::make_unique<MainWindow>(*model);
  window->show();
  settle();
  fakes.windows->screens.push_back({7, {1920, 0, 1920, 1080}, 1, false});
  EXPECT_TRUE(showing(window.get(), "Experimental. A virtual monitor beside your screens."));
  button(window.get(), "Create virtual display")->click();
  settle();
  for (const char* action : {"Move window here", "Bring back"}) {
    testing::DialogAnswerer ok("OK");
    button(window.get(), action)->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ok.seen().answered; }, 5000)) << action;
    settle();
    EXPECT_EQ(ok.seen().title, "This desktop moves no windows: drag it there yourself.");
    EXPECT_EQ(model->sheet(), std::nullopt);
  }
}

TEST_F(MainWindowTest, AFailureIsShownOnceAndDismissed) {
  virtualDisplays->nextID = 0;  // the platform cannot make one
  testing::DialogAnswerer ok("OK");
  button(window.get(), "Create virtual display")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ok.seen().answered; }, 5000));
  settle();
  EXPECT_EQ(ok.seen().title, "Could not create a virtual display.");
  EXPECT_EQ(model->diagnostics().errorMessage(), std::nullopt);
  EXPECT_TRUE(showing(window.get(), "No virtual display"));
}

TEST(WindowFilterTest, MatchesTitleOrApplicationIgnoringCase) {
  const WindowInfo mail{1, "Inbox \u2014 3 unread", "Mail", "org.example.Mail", 1, {}, true};
  const WindowInfo untitled{2, "", "Terminal", "", 2, {}, true};
  const struct {
    const WindowInfo& window;
    const char* query;
    bool matches;
  } cases[] = {
      {mail, "", true},         {mail, "  ", true},         {mail, "inbox", true},
      {mail, "MAIL", true},     {mail, "3 UNREAD", true},   {mail, "terminal", false},
      {untitled, "term", true}, {untitled, "inbox", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(windowMatches(c.window, QString::fromUtf8(c.query)), c.matches)
        << c.window.applicationName << " / " << c.query;
  }
}

TEST_F(MainWindowTest, TheCreationSheetListsFiltersAndMakesAWindowPortal) {
  model->setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
  auto* flow = sheet<PortalFlowSheet>();
  ASSERT_NE(flow, nullptr);
  EXPECT_EQ(flow->windowTitle(), "Create Portal");
  EXPECT_EQ(flow->currentStep()->objectName(), "ChooseTypeStep");
  EXPECT_TRUE(showing(flow, "A portal shares exactly one thing."));
  button(flow, "Application window")->click();
  EXPECT_EQ(flow->currentStep()->objectName(), "WindowPickStep");

  WindowPicker* picker = flow->windowPicker();
  EXPECT_EQ(picker->statusText(), "Looking for windows\u2026");
  runProbes();  // the listing runs off the main thread
  ASSERT_EQ(picker->shown().size(), 3u);
  picker->setQuery("TERM");
  ASSERT_EQ(picker->shown().size(), 1u);
  EXPECT_EQ(picker->shown()[0].applicationName, "Terminal");
  picker->setQuery("calendar");
  EXPECT_TRUE(picker->shown().empty());
  EXPECT_EQ(picker->statusText(), "No window matches \u201Ccalendar\u201D.");
  picker->setQuery("inbox");
  button(flow, "Choose Window")->click();
  settle();
  ASSERT_EQ(model->sharing().portals().size(), 1u);
  EXPECT_EQ(model->sharing().portals()[0].name, "Mail");
  EXPECT_EQ(model->sharing().portals()[0].payload.windowTarget()->windowID, 0x400001u);
  EXPECT_EQ(window->openSheet(), nullptr);
}

// Desktops that show Tavelin no other application's windows: one with a window chooser of its
// own (the desktop portal's), one without (GNOME without the dialog).
class UnlistedWindowsTest : public ::testing::Test, protected testing::ModelHarness {
 protected:
  void start() {
    capture->content->displays = {{1, {0, 0, 1920, 1080}}};
    model = makeModel();
    window = std::make_unique<MainWindow>(*model);
    window->show();
    settle();
    model->setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
    settle();
    flow = qobject_cast<PortalFlowSheet*>(window->openSheet());
    ASSERT_NE(flow, nullptr);
    button(flow, "Application window")->click();
    runProbes();
  }
  void TearDown() override {
    window.reset();
    if (model) model->shutDown();
    settle();
  }
  std::unique_ptr<AppModel> model;
  std::unique_ptr<MainWindow> window;
  PortalFlowSheet* flow = nullptr;
};

TEST_F(UnlistedWindowsTest, TheDesktopsChooserMakesTheWindowPortalOrSaysWhyNot) {
  // What the chooser picks is listed from then on, as the portal's windows are.
  const ShareableApplication unnamed{"Window 1", "", 0};
  capture->content->windows = {{1, "", {1048576 + 65536, 0, 640, 400}, 0, true, unnamed}};
  std::atomic<bool> refuse{true};
  chooseWindow = [&refuse](std::string& why) -> std::optional<std::uint32_t> {
    if (!refuse) return 1u;
    why = "the desktop's sharing dialog was cancelled";
    return std::nullopt;
  };
  start();
  QAbstractButton* choose = button(flow, "Choose a Window on the Desktop\u2026");
  ASSERT_NE(choose, nullptr);
  WindowPicker* picker = flow->windowPicker();

  choose->click();  // the chooser waits for the user off the main thread
  ASSERT_TRUE(QTest::qWaitFor([&] { return choose->isEnabled(); }, 5000));
  runProbes();
  EXPECT_EQ(picker->statusText(),
            "No window was chosen: the desktop's sharing dialog was cancelled.");
  EXPECT_TRUE(model->sharing().portals().empty());

  refuse = false;
  choose->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !model->sharing().portals().empty(); }, 5000));
  EXPECT_EQ(model->sharing().portals()[0].name, "Window 1");
  EXPECT_EQ(model->sharing().portals()[0].payload.windowTarget()->windowID, 1u);
}

TEST_F(UnlistedWindowsTest, ThePickerSaysWhatASharedWindowShowsOnThisDesktop) {
  windowCaptureNote = "Whatever covers the window shows too.";
  start();
  EXPECT_TRUE(showing(flow, "Whatever covers the window shows too."));
}

TEST_F(UnlistedWindowsTest, WithoutAChooserThePickerSaysWhatToDoInstead) {
  noWindows = "GNOME does not show Tavelin other applications' windows.";
  start();
  EXPECT_EQ(button(flow, "Choose a Window on the Desktop\u2026"), nullptr);
  EXPECT_EQ(flow->windowPicker()->statusText(),
            "GNOME does not show Tavelin other applications' windows.");
}

TEST_F(MainWindowTest, ANewTargetIsChosenOnlyWhileItsSheetIsOpen) {
  const WindowInfo mail{0x400001, "Inbox", "Mail", "org.example.Mail", 4100, {100, 80, 900, 640},
                        true};
  model->targets().chooseWindow(mail, std::nullopt);
  const Portal portal = model->sharing().portals().at(0);
  model->changeTarget(portal);
  auto* retarget = sheet<PortalFlowSheet>();
  ASSERT_NE(retarget, nullptr);
  EXPECT_EQ(retarget->currentStep()->objectName(), "WindowPickStep");  // straight to the window
  button(retarget, "Cancel")->click();
  settle();
  EXPECT_EQ(model->retargetingPortal(), std::nullopt);

  // The next portal the user creates is a new one, not the old one changed.
  model->setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
  auto* flow = sheet<PortalFlowSheet>();
  flow->choose(PortalFlowSheet::Kind::window);
  runProbes();
  flow->windowPicker()->setQuery("notes");
  button(flow, "Choose Window")->click();
  settle();
  const auto portals = model->sharing().portals();
  ASSERT_EQ(portals.size(), 2u);
  EXPECT_EQ(portals[0], portal);
  EXPECT_EQ(portals[1].name, "Text Editor");
}

TEST_F(MainWindowTest, TheRegionStepPreviewsTheWindowAndSharesTheDraggedPart) {
  model->setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
  auto* flow = sheet<PortalFlowSheet>();
  flow->resize(700, 600);
  button(flow, "Region inside a window")->click();
  runProbes();
  flow->windowPicker()->setQuery("notes");
  button(flow, "Choose Window")->click();
  EXPECT_EQ(flow->currentStep()->objectName(), "RegionPickStep");
  EXPECT_EQ(flow->regionTitle()->text(), "Select a region in notes.txt");
  EXPECT_EQ(flow->regionStatus()->text(), "Capturing preview\u2026");
  EXPECT_FALSE(button(flow, "Use Region")->isEnabled());

  // The still arrives from a short capture of that window.
  ASSERT_EQ(capture->streams.size(), 1u);
  ASSERT_TRUE(testing::eventually(
      [&] { return capture->streams[0]->emit(testing::solidSample(700, 700)); }));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !flow->canvas()->image().isNull(); }, 5000));
  EXPECT_EQ(flow->canvas()->image().size(), QSize(700, 700));

  RegionCanvas* canvas = flow->canvas();
  const QPoint from = canvas->toWidget({70, 140}).toPoint();
  const QPoint to = canvas->toWidget({420, 315}).toPoint();
  testing::drag(canvas, from, to);
  const auto choice = canvas->choice();
  ASSERT_TRUE(choice);
  // Within a pixel of the drag, whatever the preview's scale.
  EXPECT_NEAR(static_cast<double>(choice->pixels.width), 350, 2);
  EXPECT_NEAR(static_cast<double>(choice->pixels.height), 175, 2);
  EXPECT_EQ(flow->sizeLabel()->text(), choice->sizeText());
  EXPECT_TRUE(flow->normalizedLabel()->text().startsWith("normalized 0.1"));
  button(flow, "Use Region")->click();
  settle();
  const auto portals = model->sharing().portals();
  ASSERT_EQ(portals.size(), 1u);
  const auto& part = std::get<WindowRegionPortalData>(portals[0].payload.value);
  EXPECT_EQ(part.originalPixelRegion, choice->pixels);
  EXPECT_EQ(portals[0].name, "Text Editor region");
}

TEST(RegionChoiceTest, RoundsClampsAndDescribesTheDrag) {
  const QSize picture(800, 400);
  const struct {
    QPointF from, to;
    PixelRect pixels;
    const char* size;
    const char* normalized;
  } cases[] = {
      {{80, 40},
       {480, 240},
       {80, 40, 400, 200},
       "400 \u00D7 200 px",
       "normalized 0.100, 0.100, 0.500 \u00D7 0.500"},
      {{480.4, 240.6},
       {79.6, 39.5},
       {80, 40, 400, 201},
       "400 \u00D7 201 px",
       "normalized 0.100, 0.100, 0.500 \u00D7 0.502"},
      {{-50, -50},
       {900, 500},
       {0, 0, 800, 400},
       "800 \u00D7 400 px",
       "normalized 0.000, 0.000, 1.000 \u00D7 1.000"},
      {{10, 10},
       {10, 10},
       {10, 10, 0, 0},
       "0 \u00D7 0 px",
       "normalized 0.013, 0.025, 0.000 \u00D7 0.000"},
  };
  for (const auto& c : cases) {
    const auto choice = RegionChoice::fromDrag(c.from, c.to, picture);
    EXPECT_EQ(choice.pixels, c.pixels);
    EXPECT_EQ(choice.sizeText(), QString::fromUtf8(c.size));
    EXPECT_EQ(choice.normalizedText(), QString::fromUtf8(c.normalized));
  }
}

TEST_F(MainWindowTest, ARegionThatCannotBeCapturedSaysSo) {
  model->setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
  auto* flow = sheet<PortalFlowSheet>();
  flow->choose(PortalFlowSheet::Kind::windowRegion);
  runProbes();
  const WindowInfo gone{0x999, "Closed", "Gone", "", 1, {0, 0, 300, 300}, true};
  flow->pickWindow(gone);  // no such window for the capture service
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return flow->regionStatus()->text() ==
               "Could not capture this window. Bring it back on screen and try again.";
      },
      5000));
  EXPECT_FALSE(button(flow, "Whole window")->isEnabled());
  flow->back();
  EXPECT_EQ(flow->currentStep()->objectName(), "WindowPickStep");
  flow->back();
  EXPECT_EQ(flow->currentStep()->objectName(), "ChooseTypeStep");
}

TEST_F(MainWindowTest, SettingsClampThePortAndSaveEachChangeAtOnce) {
  window->showSettings();
  auto* settings = window->findChild<SettingsDialog*>();
  ASSERT_NE(settings, nullptr);
  const auto file = directory.path() / "settings.json";
  const struct {
    const char* typed;
    std::uint16_t stored;
  } ports[] = {{"0", 1}, {"70000", 65535}, {"-5", 1}, {"8080", 8080}, {"http", 8080}};
  for (const auto& port : ports) {
    settings->portField()->setText(port.typed);
    Q_EMIT settings->portField()->editingFinished();
    EXPECT_EQ(settings->portField()->text(), QString::number(port.stored)) << port.typed;
    EXPECT_EQ(HostSettings::load(file).port, port.stored) << port.typed;
  }
  settings->frameRate()->setCurrentIndex(settings->frameRate()->findText("60 fps"));
  EXPECT_EQ(HostSettings::load(file).targetFps, 60);
  settings->quality()->setCurrentIndex(settings->quality()->findText("High"));
  EXPECT_DOUBLE_EQ(HostSettings::load(file).jpegQuality, 0.8);
  settings->maxFrameSize()->setCurrentIndex(settings->maxFrameSize()->findText("720p"));
  EXPECT_EQ(HostSettings::load(file).maxFrameDimension, 1280);
  settings->outline()->click();
  EXPECT_FALSE(HostSettings::load(file).showRegionBorder);
  EXPECT_FALSE(model->settings().value().showRegionBorder);
  settings->withoutDialog()->click();
  EXPECT_TRUE(HostSettings::load(file).gnomeWithoutDialog);
  EXPECT_TRUE(showing(settings, "Restart Tavelin to apply a new port."));
}

TEST_F(MainWindowTest, SettingsShowAStoredValueTheListsDoNotOffer) {
  // The default largest side (1440) is none of the picker's sizes: it is shown, not replaced.
  window->showSettings();
  auto* settings = window->findChild<SettingsDialog*>();
  EXPECT_EQ(settings->maxFrameSize()->currentText(), "Default (longest side 1440 pixels)");
  EXPECT_EQ(HostSettings::load(directory.path() / "settings.json").maxFrameDimension, 1440);
  EXPECT_EQ(SettingsDialog::frameSizeText(1000), "Longest side 1000 pixels");
  EXPECT_EQ(SettingsDialog::frameSizeText(0), "Full size");
}

TEST_F(MainWindowTest, OpenAtLoginWritesAndRemovesTheAutostartEntry) {
  window->showSettings();
  auto* settings = window->findChild<SettingsDialog*>();
  const auto entry = directory.path() / "autostart" / OpenAtLogin::entryName;
  EXPECT_EQ(entry.filename(), "org.tavelin.Tavelin.desktop");  // the installed entry's name
  EXPECT_FALSE(settings->openAtLogin()->isChecked());
  EXPECT_FALSE(settings->keepInTray()->isChecked());

  settings->openAtLogin()->click();
  const auto text = readWholeFile(entry);
  ASSERT_TRUE(text) << "no entry at " << entry;
  // The executable's folder holds a space: quoted, as the entry format wants it.
  EXPECT_NE(text->find("\nExec=\"/opt/Tavelin Test/bin/tavelin\"\n"), std::string::npos) << *text;
  EXPECT_NE(text->find("[Desktop Entry]\nType=Application\n"), std::string::npos);
  EXPECT_TRUE(settings->openAtLogin()->isChecked());
  EXPECT_TRUE(testing::loggedSoon(*model, "Tavelin opens at login (" + entry.string() + ")"));

  // A desktop that turned the entry off has it Hidden: that reads as off, and on writes it anew.
  ASSERT_FALSE(writeFileAtomically(entry, *text + "Hidden=true\n"));
  settings->reload();
  EXPECT_FALSE(settings->openAtLogin()->isChecked());
  settings->openAtLogin()->click();
  EXPECT_EQ(readWholeFile(entry), text);

  settings->openAtLogin()->click();
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_FALSE(settings->openAtLogin()->isChecked());
  EXPECT_TRUE(testing::loggedSoon(*model, "Tavelin no longer opens at login"));

  // A folder that cannot be written: the box stays off and the log says why.
  std::filesystem::remove_all(directory.path() / "autostart");
  ASSERT_FALSE(writeFileAtomically(directory.path() / "autostart", "a file in the way"));
  settings->openAtLogin()->click();
  EXPECT_FALSE(settings->openAtLogin()->isChecked());
  EXPECT_TRUE(testing::loggedSoonMatching(*model, [](const std::string& line) {
    return line.starts_with("Open at login not changed: could not write ");
  }));

  settings->keepInTray()->click();
  EXPECT_TRUE(HostSettings::load(directory.path() / "settings.json").keepRunningInTray);
}

}  // namespace
}  // namespace tavelin

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
