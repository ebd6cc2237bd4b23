#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinKit/Foundation/Files.hpp"
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
    for (const auto& entry : model->logLines()) count += entry.message == message ? 1 : 0;
    return count;
  }
  Portal region(const char* name, ScreenRect rect = {0, 0, 100, 100}) {
    return Portal{Uuid::random(), name, clock.now(), ScreenRegionPortalData{rect, 1, true}};
  }

  std::unique_ptr<AppModel> model = makeModel();
};

TEST_F(AppModelTest, StartsTicksAndProbesOnItsSchedule) {
  EXPECT_EQ(model->hostAndPort(), "starting\u2026");
  EXPECT_FALSE(model->canShare());
  model->start();
  settle();
  ASSERT_TRUE(model->serverRunning());
  EXPECT_EQ(model->connectionURL(), "http://192.0.2.10:" + QString::number(testPort()));
  EXPECT_EQ(model->hostAndPort(), "192.0.2.10:" + QString::number(testPort()));
  EXPECT_TRUE(model->canShare());
  EXPECT_FALSE(model->qrImage().isNull());
  EXPECT_EQ(logged("Server listening on port " + std::to_string(testPort())), 1);
  EXPECT_EQ(logged("Permissions: screen recording granted, accessibility granted"), 1);

  // Probed at start, on the first tick, then every tenth.
  EXPECT_EQ(runProbes(), 1);
  model->refreshRuntimeState();
  EXPECT_EQ(runProbes(), 1);
  for (int i = 0; i < 9; ++i) model->refreshRuntimeState();
  EXPECT_EQ(runProbes(), 0);
  model->refreshRuntimeState();
  EXPECT_EQ(runProbes(), 1);
  // The reachability line: on the first result, then only when it flips.
  const std::string where = "192.0.2.10:" + std::to_string(testPort());
  EXPECT_EQ(logged("Network: the host is reachable from the network at " + where), 1);
  answers->curl = "000";
  for (int i = 0; i < 20; ++i) model->refreshRuntimeState();
  runProbes();
  EXPECT_EQ(model->reachable(), false);
  EXPECT_EQ(logged("Network error: nothing on the LAN can reach " + where +
                   " - incoming connections are being dropped"),
            1);

  // The PIN turns over after 300 s.
  const QString pin = model->pin();
  clock.advance(301s);
  model->refreshRuntimeState();
  settle();
  EXPECT_NE(model->pin(), pin);
  model->shutDown();
}

TEST_F(AppModelTest, AHostNobodyReachesSaysWhyAndHowToFixIt) {
  answers->curl = "000";
  answers->ufw =
      "Status: active\nDefault: deny (incoming), allow (outgoing), disabled (routed)\n\nTo  "
      "   Action      From\n--     ------      ----\n22/tcp     ALLOW IN    Anywhere\n";
  model->start();
  runProbes();
  EXPECT_EQ(model->reachable(), false);
  EXPECT_EQ(model->firewallVerdict(), FirewallStatus::Verdict::notListed);
  const auto banners = model->issues();
  ASSERT_EQ(banners.size(), 1u);
  EXPECT_EQ(banners[0].title, "Your phone cannot reach this computer");
  EXPECT_TRUE(banners[0].detail.contains("ufw"));
  EXPECT_EQ(banners[0].command, "sudo ufw allow " + QString::number(testPort()) + "/tcp");
  model->shutDown();
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
  EXPECT_FALSE(model->serverRunning());
  ASSERT_TRUE(model->errorMessage());
  EXPECT_TRUE(model->errorMessage()->startsWith("Could not start the server: "));
  EXPECT_EQ(model->connectionURL(), "starting\u2026");
  EXPECT_EQ(background->runAll(), 0);  // no probe without a server
  model->refreshRuntimeState();        // and the refresh goes on
  for (const int fd : taken) ::close(fd);
}

TEST_F(AppModelTest, PortalsActivateToggleDeleteAndRetarget) {
  std::vector<std::optional<ScreenRect>> borders;
  model->showRegionBorder = [&](std::optional<ScreenRect> rect) { borders.push_back(rect); };
  const Portal first = region("first");
  model->add(first);
  EXPECT_EQ(model->activePortalID(), first.id);
  EXPECT_EQ(logged("Portal created: first (screenRegion)"), 1);
  const Portal second = region("second");
  model->add(second);
  model->toggle(second);
  EXPECT_FALSE(model->activePortalID());
  EXPECT_EQ(model->captureStateText(), "Nothing streaming");
  model->toggle(first);
  EXPECT_EQ(model->activePortalID(), first.id);
  model->remove(first);
  EXPECT_FALSE(model->activePortalID());
  EXPECT_EQ(model->captureState(), PortalCaptureState::idle);
  EXPECT_EQ(borders.back(), std::nullopt);
  EXPECT_EQ(model->portals().size(), 1u);

  // A drag of no size makes nothing; a real one makes "Screen region W×H".
  model->completeScreenRegionSelection(ScreenRect{5, 5, 0, 40}, std::nullopt);
  EXPECT_EQ(model->portals().size(), 1u);
  model->completeScreenRegionSelection(ScreenRect{5, 5, 320.7, 200}, std::nullopt);
  ASSERT_EQ(model->portals().size(), 2u);
  EXPECT_EQ(model->portals().back().name, "Screen region 320\u00D7200");

  // Retargeting: a window region keeps its region and resize rule; a screen region ignores a
  // window.
  const WindowInfo oldWindow{7, "Old", "Editor", "org.example.Editor", 70, {0, 0, 800, 600}, true};
  const WindowInfo newWindow{8, "New", "Editor", "org.example.Editor", 71, {0, 0, 640, 480}, true};
  const NormalizedRect area{0.1, 0.2, 0.3, 0.4};
  model->completeWindowRegionSelection(oldWindow, area, {80, 120, 240, 240}, std::nullopt);
  Portal part = model->portals().back();
  EXPECT_EQ(part.name, "Editor region");
  auto payload = std::get<WindowRegionPortalData>(part.payload.value);
  payload.resizeBehavior = RegionResizeBehavior::keepPixelSize;
  part.payload = payload;
  model->update(part);
  model->completeWindowSelection(newWindow, part);
  const auto retargeted = std::get<WindowRegionPortalData>(model->portals().back().payload.value);
  EXPECT_EQ(retargeted.target.windowID, 8u);
  EXPECT_EQ(retargeted.region, area);
  EXPECT_EQ(retargeted.originalPixelRegion, (PixelRect{80, 120, 240, 240}));
  EXPECT_EQ(retargeted.resizeBehavior, RegionResizeBehavior::keepPixelSize);
  const auto before = model->portals();
  model->completeWindowSelection(newWindow, second);
  EXPECT_EQ(model->portals(), before);
}

TEST_F(AppModelTest, PhonesAreCountedPerDeviceAndTheirComingsAndGoingsRemembered) {
  model->start();
  settle();
  const auto device = model->pairing().issueToken(std::string("Pixel")).device;
  auto openStream = [&] {
    std::string answer;
    auto phone = testing::openStream(*model, device, answer);
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 101");
    return phone;
  };
  auto one = openStream();
  auto two = openStream();
  ASSERT_TRUE(testing::eventually([&] { return model->server().sessionCount() == 2; }));
  model->refreshRuntimeState();
  settle();
  EXPECT_EQ(model->frameCounts().size(), 1u);
  EXPECT_EQ(model->connectedDeviceIDs(), std::set<Uuid>{device.id});
  model->refreshRuntimeState();
  settle();
  auto events = model->history(device.id);
  EXPECT_EQ(
      std::count_if(events.begin(), events.end(),
                    [](const DeviceEvent& e) { return e.kind == DeviceEvent::Kind::connected; }),
      1);

  one.reset();
  two.reset();
  ASSERT_TRUE(testing::eventually([&] { return model->server().sessionCount() == 0; }));
  model->refreshRuntimeState();
  model->refreshRuntimeState();
  settle();
  events = model->history(device.id);
  EXPECT_EQ(
      std::count_if(events.begin(), events.end(),
                    [](const DeviceEvent& e) { return e.kind == DeviceEvent::Kind::disconnected; }),
      1);
  EXPECT_TRUE(model->connectedDeviceIDs().empty());
  model->shutDown();
}

}  // namespace
}  // namespace tavelin

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
