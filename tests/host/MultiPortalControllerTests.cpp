#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TavelinHost/Input/InputService.hpp"
#include "TavelinHost/Input/PortalInputController.hpp"
#include "TavelinHost/Portals/MultiPortalController.hpp"
#include "tests/support/FakeInputDesktop.hpp"
#include "tests/support/FakeViewers.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/ManualExecutor.hpp"

namespace tavelin {
namespace {

using Journal = std::vector<std::string>;
using State = PortalCaptureState;

Portal screenPortal(std::string name) {
  return Portal{
      Uuid::random(), std::move(name), {}, ScreenRegionPortalData{{0, 0, 100, 100}, 1, true}};
}

class MultiPortalControllerTest : public ::testing::Test {
 protected:
  MultiPortalControllerTest() {
    controller->onChange = [changes = changes] { ++*changes; };
  }

  std::shared_ptr<testing::FakeViewerSession> connect(const Uuid& device, const char* name) {
    return server->connect(device, name);
  }
  static std::optional<PortalsListMessage> lastList(const std::vector<std::string>& texts) {
    for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
      if (auto list = PortalsListMessage::decode(*it)) return list;
    }
    return std::nullopt;
  }
  static std::optional<PortalStateMessage> lastState(const std::vector<std::string>& texts) {
    for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
      if (auto state = PortalStateMessage::decode(*it)) return state;
    }
    return std::nullopt;
  }
  InputMessage select(const Portal& portal) {
    InputMessage message;
    message.type = "selectportal";
    message.portalId = portal.id.string();
    return message;
  }
  const Journal& journal() { return *factory->journal; }

  Portal a = screenPortal("A"), b = screenPortal("B"), c = screenPortal("C");
  std::vector<Portal> portals{a, b, c};
  std::shared_ptr<testing::FakeSourceFactory> factory =
      std::make_shared<testing::FakeSourceFactory>();
  std::shared_ptr<testing::FakeViewerServer> server = std::make_shared<testing::FakeViewerServer>();
  testing::FakeInputDesktop fakes;
  std::shared_ptr<testing::RecordingEventPoster> poster = fakes.poster;
  std::shared_ptr<testing::ManualExecutor> main = std::make_shared<testing::ManualExecutor>();
  std::shared_ptr<int> changes = std::make_shared<int>(0);
  std::vector<std::string> logs;
  std::shared_ptr<MultiPortalController> controller = MultiPortalController::make(
      factory, server,
      PortalInputController::maker(std::make_shared<InputService>(fakes.desktop(), HostLogSink{}),
                                   HostLogSink{}),
      [this](std::string_view category, std::string_view message) {
        logs.push_back(std::string(category) + ": " + std::string(message));
      },
      [this] { return portals; }, main);
};

TEST_F(MultiPortalControllerTest, PhonesGetTheirLastPortalElseTheDefaultElseTheFirst) {
  const Uuid phone = Uuid::random();
  auto session = connect(phone, "Pixel");
  EXPECT_EQ(session->currentPortalID(), a.id);  // the first portal
  auto texts = session->takeTexts();
  ASSERT_TRUE(lastList(texts));
  EXPECT_EQ(lastList(texts)->currentPortalId, a.id.string());
  EXPECT_EQ(lastList(texts)->items.size(), 3u);
  EXPECT_EQ(lastState(texts)->portalName, "A");
  EXPECT_EQ(logs.back(), "Portals: Pixel \u2192 portal " + a.id.string().substr(0, 8));

  server->handlers.onInput(session, select(b));
  server->disconnect(session);
  session = connect(phone, "Pixel");
  EXPECT_EQ(session->currentPortalID(), b.id);  // remembered

  // Its portal is deleted while it is away: the default, or else the first, instead.
  server->disconnect(session);
  portals = {a, c};
  controller->setDefaultPortal(c);
  session = connect(phone, "Pixel");
  EXPECT_EQ(session->currentPortalID(), c.id);
  server->disconnect(session);
  portals = {a, c};
  controller->setDefaultPortal(std::nullopt);
  server->handlers.onInput(connect(Uuid::random(), "Other"), select(c));
  portals = {a};
  session = connect(phone, "Pixel");
  EXPECT_EQ(session->currentPortalID(), a.id);

  main->runAll();
  EXPECT_GT(*changes, 0);
}

TEST_F(MultiPortalControllerTest, ARuntimeLivesExactlyWhileSomeoneWatches) {
  auto first = connect(Uuid::random(), "one");
  auto second = connect(Uuid::random(), "two");
  EXPECT_EQ(journal(), (Journal{"make A", "start A"}));  // shared

  server->disconnect(first);
  EXPECT_EQ(journal().size(), 2u);
  server->disconnect(second);
  EXPECT_EQ(journal(), (Journal{"make A", "start A", "stop A"}));
  EXPECT_EQ(controller->state(a.id).first, State::idle);

  // Switching A (watched by this phone only) to B: A stops before B is made.
  auto phone = connect(Uuid::random(), "three");
  factory->journal->clear();
  server->handlers.onInput(phone, select(b));
  EXPECT_EQ(journal(), (Journal{"stop A", "make B", "start B"}));

  // Selecting the portal already watched, or one that does not exist, changes nothing.
  phone->takeTexts();
  const auto logged = logs.size();
  server->handlers.onInput(phone, select(b));
  InputMessage bogus;
  bogus.type = "selectportal";
  bogus.portalId = "not-a-uuid";
  server->handlers.onInput(phone, bogus);
  bogus.portalId = Uuid::random().string();
  server->handlers.onInput(phone, bogus);
  EXPECT_TRUE(phone->takeTexts().empty());
  EXPECT_EQ(logs.size(), logged);
  EXPECT_EQ(phone->currentPortalID(), b.id);

  controller->shutdown();
  EXPECT_EQ(journal().back(), "stop B");
}

// A phone that arrives on a still screen is owed a picture; an acknowledgement that leaves a
// phone with nothing to show wakes its portal's capture, and only that one.
TEST_F(MultiPortalControllerTest, ArrivingPhonesAndAcknowledgementsAskTheirPortalForPictures) {
  auto first = connect(Uuid::random(), "one");
  const auto sourceA = factory->made.at("A");
  EXPECT_EQ(sourceA->refreshes, 1);
  ASSERT_TRUE(sourceA->pictureDemand);
  EXPECT_TRUE(sourceA->pictureDemand());
  auto second = connect(Uuid::random(), "two");
  EXPECT_EQ(sourceA->refreshes, 2);

  server->handlers.onPictureWanted(a.id);
  server->handlers.onPictureWanted(b.id);  // nobody watches B: no runtime to wake
  EXPECT_EQ(sourceA->wakes, 1);
  EXPECT_EQ(factory->made.count("B"), 0u);

  server->handlers.onInput(second, select(b));
  EXPECT_EQ(factory->made.at("B")->refreshes, 1);
  server->disconnect(first);
  EXPECT_FALSE(sourceA->pictureDemand());  // A's runtime is gone, and nobody watches it
}

// A phone that zooms in asks its portal for pictures of the part it shows, at once even on a
// still screen; the source is asked for each part shown. Another portal starts whole.
TEST_F(MultiPortalControllerTest, APhoneThatZoomsInGetsPicturesOfItsPart) {
  auto zoomed = connect(Uuid::random(), "zoomed");
  auto other = connect(Uuid::random(), "other");
  const auto sourceA = factory->made.at("A");
  ASSERT_TRUE(sourceA->pictureViews);
  EXPECT_EQ(sourceA->pictureViews(), (std::vector<std::optional<PortalView>>{std::nullopt}));
  const int refreshes = sourceA->refreshes;

  const auto viewport = InputMessage::parse(
      R"({"type":"viewport","x":0.5,"y":0.5,"width":0.5,"height":0.5,"pixelWidth":800,"pixelHeight":600})");
  ASSERT_TRUE(viewport && viewport->view);
  server->handlers.onInput(zoomed, *viewport);
  EXPECT_EQ(zoomed->view(), viewport->view);
  EXPECT_EQ(sourceA->refreshes, refreshes + 1);
  EXPECT_EQ(sourceA->pictureViews().size(), 2u);
  server->handlers.onInput(zoomed, *viewport);  // the same part again: nothing new to make
  EXPECT_EQ(sourceA->refreshes, refreshes + 1);

  server->handlers.onInput(zoomed, select(b));
  EXPECT_EQ(zoomed->view(), std::nullopt);
  EXPECT_EQ(sourceA->pictureViews(), (std::vector<std::optional<PortalView>>{std::nullopt}));
  server->handlers.onInput(other, *InputMessage::parse(R"({"type":"viewport"})"));
  EXPECT_EQ(sourceA->refreshes, refreshes + 1);  // already whole
}

// A phone may choose the quality of the portal it watches while the host allows it: every
// phone of that portal hears of it and the next picture is made at it, at once; the choice
// outlives the portal's runtime. Otherwise, or for a preset that does not exist, the phone is
// told what holds and the log says why.
TEST_F(MultiPortalControllerTest, PhonesChooseTheirPortalsQualityWhileTheHostAllowsIt) {
  auto allowed = std::make_shared<bool>(true);
  controller->qualityRules = [allowed] {
    return MultiPortalController::QualityRules{0.6, *allowed};
  };
  const auto quality = [](const std::vector<std::string>& texts) {
    std::optional<nlohmann::json> last;
    for (const auto& text : texts) {
      auto message = nlohmann::json::parse(text);
      if (message["type"] == "quality") last = message;
    }
    return last;
  };
  auto chooser = connect(Uuid::random(), "chooser");
  auto neighbour = connect(Uuid::random(), "neighbour");
  auto elsewhere = connect(Uuid::random(), "elsewhere");
  server->handlers.onInput(elsewhere, select(b));
  EXPECT_EQ(quality(chooser->takeTexts()),
            nlohmann::json::parse(R"({"type":"quality","preset":"balanced","choosable":true})"));
  neighbour->takeTexts();
  elsewhere->takeTexts();
  const auto sourceA = factory->made.at("A");
  const auto sourceB = factory->made.at("B");
  ASSERT_TRUE(sourceA->pictureQuality);
  EXPECT_EQ(sourceA->pictureQuality(), std::nullopt);  // the source's own setting
  const int refreshes = sourceA->refreshes;

  server->handlers.onInput(chooser, *InputMessage::parse(R"({"type":"quality","preset":"high"})"));
  EXPECT_EQ(sourceA->pictureQuality(), 0.8);
  EXPECT_EQ(sourceB->pictureQuality(), std::nullopt);
  EXPECT_EQ(sourceA->refreshes, refreshes + 1);
  for (const auto& phone : {chooser, neighbour}) {
    EXPECT_EQ(quality(phone->takeTexts()).value()["preset"], "high");
  }
  EXPECT_EQ(quality(elsewhere->takeTexts()), std::nullopt);
  EXPECT_EQ(logs.back(), "Portals: chooser set the picture quality of A to High");

  server->handlers.onInput(chooser, *InputMessage::parse(R"({"type":"quality","preset":"best"})"));
  EXPECT_EQ(quality(chooser->takeTexts()).value()["preset"], "high");
  EXPECT_EQ(logs.back(),
            "Portals: chooser asked for a picture quality that does not exist: \"best\"");
  EXPECT_EQ(sourceA->pictureQuality(), 0.8);

  // Everyone leaves A and comes back: A starts again at the chosen quality.
  server->handlers.onInput(chooser, select(c));
  server->handlers.onInput(neighbour, select(c));
  server->handlers.onInput(chooser, select(a));
  const auto restartedA = factory->made.at("A");
  ASSERT_NE(restartedA, sourceA);
  EXPECT_EQ(restartedA->pictureQuality(), 0.8);
  EXPECT_EQ(quality(chooser->takeTexts()).value()["preset"], "high");

  // The host takes the choice away: its own quality holds, and phones hear of it at once.
  *allowed = false;
  controller->broadcastQuality();
  EXPECT_EQ(restartedA->pictureQuality(), std::nullopt);
  EXPECT_EQ(quality(chooser->takeTexts()),
            nlohmann::json::parse(R"({"type":"quality","preset":"balanced","choosable":false})"));
  server->handlers.onInput(chooser, *InputMessage::parse(R"({"type":"quality","preset":"low"})"));
  EXPECT_EQ(quality(chooser->takeTexts()).value()["preset"], "balanced");
  EXPECT_EQ(restartedA->pictureQuality(), std::nullopt);
  EXPECT_EQ(logs.back(),
            "Portals: chooser may not change the picture quality: this computer does not let "
            "phones choose it");
}

TEST_F(MultiPortalControllerTest, WithoutPortalsAPhoneWaitsIdleUntilADefaultAppears) {
  portals.clear();
  auto waiting = connect(Uuid::random(), "waiting");
  const auto texts = waiting->takeTexts();
  ASSERT_EQ(texts.size(), 2u);
  const auto list = PortalsListMessage::decode(texts[0]);
  ASSERT_TRUE(list);
  EXPECT_TRUE(list->items.empty());
  EXPECT_FALSE(list->currentPortalId);
  const auto state = PortalStateMessage::decode(texts[1]);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, "idle");
  EXPECT_EQ(state->sourceWidth, 0);
  EXPECT_FALSE(state->streaming);
  EXPECT_FALSE(state->portalId);
  EXPECT_FALSE(waiting->currentPortalID());

  portals = {a, b};
  auto watching = connect(Uuid::random(), "watching");
  server->handlers.onInput(watching, select(b));
  controller->setDefaultPortal(a);
  EXPECT_EQ(waiting->currentPortalID(), a.id);   // had none: moved to the default
  EXPECT_EQ(watching->currentPortalID(), b.id);  // left where it is
}

TEST_F(MultiPortalControllerTest, StatesFramesAndInputReachOnlyTheirPortalsPhones) {
  auto onA = connect(Uuid::random(), "a");
  auto onB = connect(Uuid::random(), "b");
  server->handlers.onInput(onB, select(b));
  onA->takeTexts();
  onB->takeTexts();

  auto& sourceA = *factory->made.at("A");
  sourceA.report(State::capturing, PixelSize::empty);
  auto state = lastState(onA->takeTexts());
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, "capturing");
  EXPECT_FALSE(state->streaming);  // no picture size yet
  sourceA.report(State::capturing, {640, 480});
  state = lastState(onA->takeTexts());
  EXPECT_TRUE(state->streaming);
  EXPECT_EQ(state->sourceWidth, 640);
  EXPECT_TRUE(onB->takeTexts().empty());
  EXPECT_EQ(controller->state(a.id), (std::pair{State::capturing, PixelSize{640, 480}}));

  EXPECT_TRUE(sourceA.emitFrame());
  EXPECT_EQ(server->frames(a.id), 1);
  EXPECT_EQ(server->frames(b.id), 0);

  // A tap from the phone on B goes to B's input, mapped on B's picture.
  InputMessage tap;
  tap.type = "tap";
  tap.x = 0.5;
  tap.y = 0.25;
  server->handlers.onInput(onB, tap);
  EXPECT_TRUE(testing::eventually([&] { return !poster->take().empty(); }));

  // After the last viewer leaves, the runtime is gone and its source goes quiet.
  server->disconnect(onA);
  sourceA.report(State::error, PixelSize::empty);
  EXPECT_TRUE(onB->takeTexts().empty());
  EXPECT_FALSE(sourceA.emitFrame());  // nobody watches A: the gate is shut
}

TEST_F(MultiPortalControllerTest, PhonesSeeChooseAndWatchOnlySharedPortals) {
  portals[1].shared = false;  // B
  auto phone = connect(Uuid::random(), "Pixel");
  auto list = lastList(phone->takeTexts());
  ASSERT_TRUE(list);
  ASSERT_EQ(list->items.size(), 2u);
  EXPECT_EQ(list->items[1].name, "C");

  // Asking for B: told it is not shared, with the list, and left on A.
  server->handlers.onInput(phone, select(b));
  auto texts = phone->takeTexts();
  ASSERT_EQ(texts.size(), 3u);
  const auto refused = PortalStateMessage::decode(texts[0]);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->portalId, b.id.string());
  EXPECT_EQ(refused->statusText, "Not shared");
  EXPECT_FALSE(refused->shared);
  EXPECT_EQ(PortalsListMessage::decode(texts[1])->currentPortalId, a.id.string());
  EXPECT_TRUE(PortalStateMessage::decode(texts[2])->shared);  // A's own state again
  EXPECT_EQ(phone->currentPortalID(), a.id);
  EXPECT_EQ(std::count(journal().begin(), journal().end(), "make B"), 0);

  // A default or a remembered portal that is not shared is passed over.
  controller->setDefaultPortal(b);
  EXPECT_EQ(connect(Uuid::random(), "new")->currentPortalID(), a.id);
}

TEST_F(MultiPortalControllerTest, StoppingOrDeletingAWatchedPortalSendsItsPhonesAway) {
  auto one = connect(Uuid::random(), "one");
  auto two = connect(Uuid::random(), "two");
  auto onB = connect(Uuid::random(), "three");
  server->handlers.onInput(onB, select(b));
  auto& sourceA = *factory->made.at("A");
  sourceA.report(State::capturing, {640, 480});
  ASSERT_TRUE(sourceA.emitFrame());
  for (auto* phone : {one.get(), two.get(), onB.get()}) phone->takeTexts();

  portals[0].shared = false;
  controller->broadcastPortalList();
  for (auto* phone : {one.get(), two.get()}) {
    const auto texts = phone->takeTexts();
    ASSERT_EQ(texts.size(), 2u);
    const auto state = PortalStateMessage::decode(texts[0]);
    EXPECT_EQ(state->portalId, a.id.string());
    EXPECT_EQ(state->portalName, "A");
    EXPECT_FALSE(state->shared);
    EXPECT_FALSE(state->streaming);
    const auto list = PortalsListMessage::decode(texts[1]);
    EXPECT_EQ(list->items.size(), 2u);
    EXPECT_FALSE(list->currentPortalId);
    EXPECT_FALSE(phone->currentPortalID());
  }
  EXPECT_EQ(journal().back(), "stop A");
  EXPECT_FALSE(sourceA.emitFrame());       // the gate is shut
  const auto onBTexts = onB->takeTexts();  // elsewhere: only the new list
  ASSERT_EQ(onBTexts.size(), 1u);
  EXPECT_EQ(PortalsListMessage::decode(onBTexts[0])->currentPortalId, b.id.string());

  // Deleted while watched: the name comes from the running portal.
  portals.erase(portals.begin() + 1);  // B
  controller->broadcastPortalList();
  const auto state = lastState(onB->takeTexts());
  ASSERT_TRUE(state);
  EXPECT_EQ(state->portalName, "B");
  EXPECT_FALSE(state->shared);
  EXPECT_FALSE(onB->currentPortalID());

  // Shared again and made the default: the phones with nothing to watch come back.
  portals[0].shared = true;
  controller->setDefaultPortal(portals[0]);
  EXPECT_EQ(one->currentPortalID(), a.id);
  EXPECT_EQ(onB->currentPortalID(), a.id);
}

// A phone that vanishes mid-drag, or moves to another portal, must not leave the button held
// for the next phone's events.
TEST_F(MultiPortalControllerTest, APhoneThatLeavesMidStrokeLetsTheButtonGo) {
  auto dragging = connect(Uuid::random(), "dragging");
  auto other = connect(Uuid::random(), "other");
  InputMessage down;
  down.type = "pointerdown";
  down.x = down.y = 0.5;
  auto events = [&](std::size_t count) {
    std::vector<std::string> seen;
    testing::eventually([&] {
      for (auto& event : poster->take()) seen.push_back(event);
      return seen.size() >= count;
    });
    return seen;
  };
  server->handlers.onInput(dragging, down);
  EXPECT_EQ(events(1), (std::vector<std::string>{"mouse 1 b0 c1 @50,50"}));
  server->disconnect(dragging);  // the runtime goes on for the other phone
  EXPECT_EQ(events(1), (std::vector<std::string>{"mouse 2 b0 c1 @50,50"}));
  EXPECT_FALSE(poster->isButtonDown(0));

  // Leaving by switching portal does the same; a phone that did not press releases nothing.
  server->handlers.onInput(other, down);
  EXPECT_EQ(events(1).size(), 1u);
  auto third = connect(Uuid::random(), "third");
  server->handlers.onInput(third, select(b));
  server->handlers.onInput(other, select(b));
  EXPECT_EQ(events(1), (std::vector<std::string>{"mouse 2 b0 c1 @50,50"}));
}

}  // namespace
}  // namespace tavelin
