#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinKit/Foundation/Files.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/ModelHarness.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

using testing::settle;
using testing::testPort;

class AppModelTest : public ::testing::Test, protected testing::ModelHarness {
 protected:
  int logged(const std::string& message) {
    settle();
    int count = 0;
    for (const auto& entry : model->activity().lines()) count += entry.message == message ? 1 : 0;
    return count;
  }
  Portal region(const char* name, ScreenRect rect = {0, 0, 100, 100}) {
    return Portal{Uuid::random(), name, clock.now(), ScreenRegionPortalData{rect, 1, true}};
  }

  std::unique_ptr<AppModel> model = makeModel();
};

TEST_F(AppModelTest, StartsTicksAndProbesOnItsSchedule) {
  EXPECT_EQ(model->connection().hostAndPort(), "starting\u2026");
  EXPECT_FALSE(model->connection().canShare());
  model->start();
  settle();
  ASSERT_TRUE(model->connection().serverRunning());
  EXPECT_EQ(model->connection().connectionURL(),
            "http://192.168.77.10:" + QString::number(testPort()));
  EXPECT_EQ(model->connection().hostAndPort(), "192.168.77.10:" + QString::number(testPort()));
  EXPECT_TRUE(model->connection().canShare());
  EXPECT_FALSE(model->connection().qrImage().isNull());
  EXPECT_EQ(logged("Server listening on port " + std::to_string(testPort())), 1);
  EXPECT_EQ(logged("Desktop access: screen capture allowed"), 1);

  // Probed at start, on the first tick, then every tenth.
  EXPECT_EQ(runProbes(), 1);
  model->refreshRuntimeState();
  EXPECT_EQ(runProbes(), 1);
  for (int i = 0; i < 9; ++i) model->refreshRuntimeState();
  EXPECT_EQ(runProbes(), 0);
  model->refreshRuntimeState();
  EXPECT_EQ(runProbes(), 1);
  // The reachability line: on the first result, then only when it flips.
  const std::string where = "192.168.77.10:" + std::to_string(testPort());
  EXPECT_EQ(logged("Network: the host is reachable from the network at " + where), 1);
  answers->curl = "000";
  for (int i = 0; i < 20; ++i) model->refreshRuntimeState();
  runProbes();
  EXPECT_EQ(model->diagnostics().reachable(), false);
  EXPECT_EQ(logged("Network error: nothing on the LAN can reach " + where +
                   " - incoming connections are being dropped"),
            1);

  // The PIN turns over after 300 s.
  const QString pin = model->phones().pin();
  clock.advance(301s);
  model->refreshRuntimeState();
  settle();
  EXPECT_NE(model->phones().pin(), pin);
  model->shutDown();
}

TEST_F(AppModelTest, AHostNobodyReachesSaysWhyAndHowToFixIt) {
  answers->curl = "000";
  answers->ufw =
      "Status: active\nDefault: deny (incoming), allow (outgoing), disabled (routed)\n\nTo  "
      "   Action      From\n--     ------      ----\n22/tcp     ALLOW IN    Anywhere\n";
  model->start();
  runProbes();
  EXPECT_EQ(model->diagnostics().reachable(), false);
  EXPECT_EQ(model->diagnostics().firewallVerdict(), FirewallStatus::Verdict::notListed);
  const auto banners = model->diagnostics().issues();
  ASSERT_EQ(banners.size(), 1u);
  EXPECT_EQ(banners[0].title, "Your phone cannot reach this computer");
  EXPECT_TRUE(banners[0].detail.contains("ufw"));
  EXPECT_EQ(banners[0].command, "sudo ufw allow " + QString::number(testPort()) + "/tcp");
  model->shutDown();
}

// Seen on a machine whose only address was a documentation one: the server refuses every
// phone from it, and the probe must say that rather than blame the firewall.
TEST_F(AppModelTest, AnAddressPhonesWouldBeRefusedFromIsNamedAsTheCause) {
  model.reset();
  advertisedAddress = "192.0.2.2";
  model = makeModel();
  model->start();
  runProbes();
  EXPECT_EQ(model->diagnostics().reachable(), false);
  EXPECT_EQ(model->diagnostics().firewallVerdict(), FirewallStatus::Verdict::unknown);
  EXPECT_EQ(logged("Network error: phones would be refused - 192.0.2.2 is not on a local "
                   "network, and the host admits phones only from local networks (10.x, "
                   "172.16-31.x, 192.168.x)"),
            1);
  EXPECT_EQ(logged("Network error: nothing on the LAN can reach 192.0.2.2:" +
                   std::to_string(testPort()) + " - incoming connections are being dropped"),
            0);
  const auto banners = model->diagnostics().issues();
  ASSERT_EQ(banners.size(), 1u);
  EXPECT_EQ(banners[0].kind, HostIssue::Kind::address);
  EXPECT_EQ(banners[0].title, "Phones would be refused");
  EXPECT_TRUE(banners[0].detail.contains("192.0.2.2"));
  model->shutDown();
}

// A full disk: the user is told, nothing is lost, and the change reaches the disk once it can.
TEST_F(AppModelTest, AFileThatCannotBeSavedIsShownRetriedAndNeverLost) {
  const auto revoked = model->phones().pairing()->issueToken(std::string("Old phone"));
  model->start();
  *disk.full = true;
  model->phones().revoke(revoked.device.id);
  settle();
  EXPECT_EQ(model->diagnostics().unsavedFiles(),
            (std::vector<std::string>{"device-history.json", "devices.json"}));
  auto banners = model->diagnostics().issues();
  ASSERT_EQ(banners.size(), 1u);
  EXPECT_EQ(banners[0].kind, HostIssue::Kind::storage);
  EXPECT_EQ(banners[0].title, "Tavelin cannot save its files");
  EXPECT_TRUE(
      banners[0].detail.startsWith("device-history.json, devices.json could not be "
                                   "written to "));
  EXPECT_EQ(logged("Could not save devices.json (No space left on device); keeping the change "
                   "and trying again every second"),
            1);
  model->refreshRuntimeState();  // still full: tried, nothing new said
  settle();
  EXPECT_EQ(logged("Could not save devices.json (No space left on device); keeping the change "
                   "and trying again every second"),
            1);
  const int tries = *disk.failures;

  *disk.full = false;
  model->refreshRuntimeState();
  settle();
  EXPECT_GT(tries, 2);
  EXPECT_TRUE(model->diagnostics().unsavedFiles().empty());
  EXPECT_TRUE(model->diagnostics().issues().empty());
  EXPECT_EQ(logged("Saved devices.json again"), 1);
  EXPECT_FALSE(PairingService(directory.path() / "devices.json").validate(revoked.token));
  model->shutDown();
}

TEST_F(AppModelTest, ADamagedFileIsKeptAsideAndTheHostStartsWithoutIt) {
  model.reset();
  testing::writeText(directory.path() / "devices.json", "[{\"id\": 1");
  model = makeModel();
  EXPECT_TRUE(model->phones().devices().empty());
  const auto kept = testing::keptAside(directory.path(), "devices.json");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0], "[{\"id\": 1");
  settle();
  bool said = false;
  for (const auto& entry : model->activity().lines()) {
    said = said || entry.message.starts_with(
                       "devices.json could not be decoded; kept it as "
                       "devices.json.damaged-");
  }
  EXPECT_TRUE(said);
}

TEST_F(AppModelTest, AServerThatCannotStartLeavesTheModelRunning) {
  std::vector<int> taken;
  for (int i = 0; i < StreamingServer::portsToTry; ++i) {
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    const int no = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(testPort() + i));
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 1);
    taken.push_back(fd);
  }
  model->start();
  settle();
  EXPECT_FALSE(model->connection().serverRunning());
  ASSERT_TRUE(model->diagnostics().errorMessage());
  EXPECT_TRUE(model->diagnostics().errorMessage()->startsWith("Could not start the server: "));
  EXPECT_EQ(model->connection().connectionURL(), "starting\u2026");
  EXPECT_EQ(background->runAll(), 0);  // no probe without a server
  model->refreshRuntimeState();        // and the refresh goes on
  for (const int fd : taken) ::close(fd);
}

TEST_F(AppModelTest, PortalsActivateToggleDeleteAndRetarget) {
  std::vector<std::optional<ScreenRect>> borders;
  model->sharing().showRegionBorder = [&](std::optional<ScreenRect> rect) {
    borders.push_back(rect);
  };
  const Portal first = region("first");
  model->sharing().add(first);
  EXPECT_EQ(model->sharing().activePortalID(), first.id);
  EXPECT_EQ(logged("Portal created: first (screenRegion)"), 1);
  const Portal second = region("second");
  model->sharing().add(second);  // the newest is the default; both are shared
  EXPECT_TRUE(model->sharing().portals()[0].shared && model->sharing().portals()[1].shared);
  model->sharing().toggle(second);  // stopped: no longer shared, nor the default
  EXPECT_FALSE(model->sharing().activePortalID());
  EXPECT_FALSE(model->sharing().portals()[1].shared);
  EXPECT_EQ(model->sharing().portalStateText(model->sharing().portals()[1]), "Not shared");
  EXPECT_EQ(model->sharing().portalStateText(model->sharing().portals()[0]),
            "Shared, no phone watching");
  EXPECT_EQ(model->sharing().captureStateText(), "Nothing streaming");
  model->sharing().toggle(second);  // shared again, and the default
  EXPECT_EQ(model->sharing().activePortalID(), second.id);
  EXPECT_EQ(model->sharing().captureStateText(), "Shared, no phone watching");
  model->sharing().toggle(first);  // it was shared: it stops
  EXPECT_FALSE(model->sharing().portals()[0].shared);
  EXPECT_EQ(model->sharing().activePortalID(), second.id);
  model->sharing().activate(first);  // the default is always shared
  EXPECT_TRUE(model->sharing().portals()[0].shared);
  EXPECT_EQ(model->sharing().activePortalID(), first.id);
  // An edit from a sheet opened before a stop does not share the portal again.
  model->sharing().stopSharing(second);
  Portal renamed = second;
  renamed.name = "renamed";
  model->sharing().update(renamed);
  EXPECT_EQ(model->sharing().portals()[1].name, "renamed");
  EXPECT_FALSE(model->sharing().portals()[1].shared);
  model->sharing().startSharing(second);
  model->sharing().activate(first);
  model->sharing().remove(first);
  EXPECT_FALSE(model->sharing().activePortalID());
  EXPECT_EQ(model->sharing().captureState(), PortalCaptureState::idle);
  EXPECT_EQ(borders.back(), std::nullopt);
  EXPECT_EQ(model->sharing().portals().size(), 1u);

  // A drag of no size makes nothing; a real one makes "Screen region W×H".
  model->targets().chooseScreenRegion(ScreenRect{5, 5, 0, 40}, std::nullopt);
  EXPECT_EQ(model->sharing().portals().size(), 1u);
  model->targets().chooseScreenRegion(ScreenRect{5, 5, 320.7, 200}, std::nullopt);
  ASSERT_EQ(model->sharing().portals().size(), 2u);
  EXPECT_EQ(model->sharing().portals().back().name, "Screen region 320\u00D7200");

  // Retargeting: a window region keeps its region and resize rule; a screen region ignores a
  // window.
  const WindowInfo oldWindow{7, "Old", "Editor", "org.example.Editor", 70, {0, 0, 800, 600}, true};
  const WindowInfo newWindow{8, "New", "Editor", "org.example.Editor", 71, {0, 0, 640, 480}, true};
  const NormalizedRect area{0.1, 0.2, 0.3, 0.4};
  model->targets().chooseWindowRegion(oldWindow, area, {80, 120, 240, 240}, std::nullopt);
  Portal part = model->sharing().portals().back();
  EXPECT_EQ(part.name, "Editor region");
  auto payload = std::get<WindowRegionPortalData>(part.payload.value);
  payload.resizeBehavior = RegionResizeBehavior::keepPixelSize;
  part.payload = payload;
  model->sharing().update(part);
  model->targets().chooseWindow(newWindow, part);
  const auto retargeted =
      std::get<WindowRegionPortalData>(model->sharing().portals().back().payload.value);
  EXPECT_EQ(retargeted.target.windowID, 8u);
  EXPECT_EQ(retargeted.region, area);
  EXPECT_EQ(retargeted.originalPixelRegion, (PixelRect{80, 120, 240, 240}));
  EXPECT_EQ(retargeted.resizeBehavior, RegionResizeBehavior::keepPixelSize);
  const auto before = model->sharing().portals();
  model->targets().chooseWindow(newWindow, second);
  EXPECT_EQ(model->sharing().portals(), before);
}

// What the desk says about sharing is what the phones get: a stopped portal's pictures end at
// once on every phone that watched it, it cannot be chosen, and starting it brings it back.
TEST_F(AppModelTest, StoppingAPortalEndsItsPicturesOnEveryPhoneAndKeepsItFromBeingChosen) {
  fakes.windows->screens.push_back({1, {0, 0, 800, 600}, 1, true});
  capture->content->displays.push_back({1, {0, 0, 800, 600}});
  model->start();
  settle();
  const Portal notes = region("Notes", {0, 0, 200, 100});
  const Portal dashboard = region("Dashboard", {0, 0, 400, 300});
  model->sharing().add(notes);
  model->sharing().add(dashboard);  // the default
  std::vector<std::unique_ptr<testing::RawPhone>> phones;
  std::string token;
  for (const char* name : {"Pixel", "Tablet"}) {
    const auto issued = model->phones().pairing()->issueToken(std::string(name));
    token = issued.token;
    std::string answer;
    phones.push_back(testing::openStream(*model, issued.device, answer));
    ASSERT_EQ(answer.substr(0, 12), "HTTP/1.1 101");
  }
  // What GET /api/session answers a phone: the default portal's state as the host has it.
  auto session = [&] {
    testing::LoopbackClient client("127.0.0.1", model->connection().server().port());
    client.send("GET /api/session HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " + token +
                "\r\n\r\n");
    const std::string response = client.readUntilClosed().value_or("");
    return nlohmann::json::parse(
        response.substr(std::min(response.size(), response.find("\r\n\r\n") + 4)), nullptr, false);
  };
  // What a phone receives while the model's thread runs: the next text message matching
  // `wanted`, with how many pictures came before it.
  struct Seen {
    std::optional<nlohmann::json> message;
    int pictures = 0;
  };
  auto next = [&](testing::RawPhone& phone,
                  const std::function<bool(const nlohmann::json&)>& wanted,
                  std::chrono::milliseconds limit = 5s) {
    Seen seen;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      settle();
      const auto frame = phone.nextFrame(2ms);
      if (!frame) continue;
      if (frame->opcode == WebSocketOpcode::binary) {
        ++seen.pictures;
        phone.sendFrame(WebSocketOpcode::text, R"({"type":"ack"})");
        continue;
      }
      auto json = nlohmann::json::parse(asText(frame->payload), nullptr, false);
      if (frame->opcode == WebSocketOpcode::text && wanted(json)) {
        seen.message = std::move(json);
        return seen;
      }
    }
    return seen;
  };
  auto stateOf = [](const Portal& portal, bool shared) {
    return [id = portal.id.string(), shared](const nlohmann::json& m) {
      return m.value("type", "") == "state" && m.value("portalId", "") == id &&
             m.value("shared", !shared) == shared;
    };
  };
  auto isList = [](const nlohmann::json& m) { return m.value("type", "") == "portals"; };
  for (auto& phone : phones) ASSERT_TRUE(next(*phone, stateOf(dashboard, true)).message);

  // Pictures flow to both, once the capture the first phone asked for has started.
  ASSERT_TRUE(testing::eventually([&] {
    settle();
    return !capture->madeStreams().empty();
  }));
  ASSERT_EQ(capture->madeStreams().size(), 1u);
  auto& stream = *capture->madeStreams()[0];
  for (auto& phone : phones) {
    Seen pictures;
    for (int tries = 0; tries < 50 && pictures.pictures == 0; ++tries) {
      stream.emit(testing::solidSample(800, 600, static_cast<std::uint8_t>(tries)));
      pictures.pictures += next(
                               *phone, [](const nlohmann::json&) { return false; }, 50ms)
                               .pictures;
    }
    ASSERT_GT(pictures.pictures, 0);
  }
  const auto live = session();
  EXPECT_EQ(live.value("portalId", ""), dashboard.id.string());
  EXPECT_EQ(live.value("state", ""), "capturing");
  EXPECT_EQ(live.value("streaming", false), true);

  const auto stopped = std::chrono::steady_clock::now();
  model->sharing().stopSharing(dashboard);
  for (auto& phone : phones) {
    const auto told = next(*phone, stateOf(dashboard, false));
    ASSERT_TRUE(told.message);
    EXPECT_EQ((*told.message)["statusText"], "Not shared");
    EXPECT_EQ((*told.message)["streaming"], false);
    const auto list = next(*phone, isList);
    ASSERT_TRUE(list.message);
    EXPECT_EQ((*list.message)["items"].size(), 1u);
    EXPECT_FALSE(list.message->contains("currentPortalId"));
    EXPECT_EQ(list.pictures, 0);
  }
  const auto latency = std::chrono::steady_clock::now() - stopped;
  EXPECT_LT(latency, 200ms);
  ::testing::Test::RecordProperty(
      "stopToBothPhonesMs",
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(latency).count()));
  EXPECT_EQ(stream.calls().back(), "stop");
  EXPECT_EQ(model->sharing().portalStateText(model->sharing().portals()[1]), "Not shared");

  // Asked for by a phone anyway: told so, with the list, and no pictures.
  auto& pixel = *phones[0];
  pixel.sendFrame(WebSocketOpcode::text,
                  R"({"type":"selectportal","portalId":")" + dashboard.id.string() + R"("})");
  const auto refused = next(pixel, stateOf(dashboard, false));
  ASSERT_TRUE(refused.message);
  ASSERT_TRUE(next(pixel, isList).message);
  pixel.sendFrame(WebSocketOpcode::ping, "after");
  const auto pong = [&] {
    for (int i = 0; i < 100; ++i) {
      const auto frame = pixel.nextFrame(20ms);
      if (frame && frame->opcode == WebSocketOpcode::binary) return false;
      if (frame && frame->opcode == WebSocketOpcode::pong) return true;
    }
    return false;
  }();
  EXPECT_TRUE(pong);
  EXPECT_EQ(capture->madeStreams().size(), 1u);  // nothing was captured for it

  // Started again: phones that have no portal watch it again.
  model->sharing().startSharing(dashboard);
  for (auto& phone : phones) ASSERT_TRUE(next(*phone, stateOf(dashboard, true)).message);

  // Stopping everything in one step leaves every phone paired, with nothing to watch.
  model->sharing().stopAllSharing();
  EXPECT_FALSE(model->sharing().isAnythingShared());
  for (auto& phone : phones) {
    ASSERT_TRUE(next(*phone, stateOf(dashboard, false)).message);
    const auto list = next(*phone, isList);
    ASSERT_TRUE(list.message);
    EXPECT_TRUE((*list.message)["items"].empty());
  }
  EXPECT_EQ(model->phones().devices().size(), 2u);
  EXPECT_FALSE(session().contains("portalId"));
  model->shutDown();

  // Whether each portal is shared survives a restart.
  model.reset();
  model = makeModel();
  ASSERT_EQ(model->sharing().portals().size(), 2u);
  EXPECT_FALSE(model->sharing().portals()[0].shared);
  EXPECT_FALSE(model->sharing().portals()[1].shared);
}

// The server reads the approval setting and the captures read the rest on their own threads,
// while the user changes them in the window: ThreadSanitizer watches this one.
TEST_F(AppModelTest, SettingsChangeWhilePhonesPairAndStream) {
  fakes.windows->screens.push_back({1, {0, 0, 800, 600}, 1, true});
  capture->content->displays.push_back({1, {0, 0, 800, 600}});
  model->sharing().add(region("Screen"));
  model->start();
  settle();
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::thread phones([&] {
    const auto port = model->connection().server().port();
    for (int i = 0; i < 40; ++i) {
      testing::LoopbackClient pair("127.0.0.1", port);
      const std::string body = R"({"pin":")" + model->phones().pairing()->pin() +
                               R"(","deviceName":"Phone )" + std::to_string(i) + R"("})";
      pair.send("POST /api/pair HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
      const auto answer = pair.readUntilClosed().value_or("");
      if (answer.starts_with("HTTP/1.1 200") || answer.starts_with("HTTP/1.1 202")) ++answered;
      // A stream makes the portal's capture, with the settings of the moment.
      const auto device = model->phones().pairing()->issueToken(std::string("Streamer")).device;
      std::string upgraded;
      auto stream = testing::openStream(*model, device, upgraded);
    }
    done = true;
  });
  HostSettings settings = model->settings().value();
  for (int i = 0; !done; ++i) {
    settings.requireApproval = i % 2 == 0;
    settings.targetFps = i % 2 == 0 ? 15 : 60;
    settings.jpegQuality = i % 2 == 0 ? 0.4 : 0.8;
    model->settings().update(settings);
    settle();
  }
  phones.join();
  EXPECT_EQ(answered, 40);
  model->shutDown();
}

TEST_F(AppModelTest, PhonesAreCountedPerDeviceAndTheirComingsAndGoingsRemembered) {
  model->start();
  settle();
  const auto device = model->phones().pairing()->issueToken(std::string("Pixel")).device;
  auto openStream = [&] {
    std::string answer;
    auto phone = testing::openStream(*model, device, answer);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 101");
    return phone;
  };
  auto one = openStream();
  auto two = openStream();
  ASSERT_TRUE(
      testing::eventually([&] { return model->connection().server().sessionCount() == 2; }));
  model->refreshRuntimeState();
  settle();
  EXPECT_EQ(model->connection().frameCounts().size(), 1u);
  EXPECT_EQ(model->connection().connectedDeviceIDs(), std::set<Uuid>{device.id});
  model->refreshRuntimeState();
  settle();
  auto events = model->phones().history(device.id);
  EXPECT_EQ(
      std::count_if(events.begin(), events.end(),
                    [](const DeviceEvent& e) { return e.kind == DeviceEvent::Kind::connected; }),
      1);

  one.reset();
  two.reset();
  ASSERT_TRUE(
      testing::eventually([&] { return model->connection().server().sessionCount() == 0; }));
  model->refreshRuntimeState();
  model->refreshRuntimeState();
  settle();
  events = model->phones().history(device.id);
  EXPECT_EQ(
      std::count_if(events.begin(), events.end(),
                    [](const DeviceEvent& e) { return e.kind == DeviceEvent::Kind::disconnected; }),
      1);
  EXPECT_TRUE(model->connection().connectedDeviceIDs().empty());
  model->shutDown();
}

}  // namespace
}  // namespace tavelin

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
