#include <gtest/gtest.h>

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
      factory, server, std::make_shared<InputService>(fakes.desktop(), HostLogSink{}),
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

}  // namespace
}  // namespace tavelin
