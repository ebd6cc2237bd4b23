#include <gtest/gtest.h>

#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "tests/support/FakeCaptureService.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/FakePlatform.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

ShareableWindow shareable(std::uint32_t id, std::string title, ScreenRect frame,
                          std::optional<ShareableApplication> owner, int layer = 0) {
  return {id, std::move(title), frame, layer, true, std::move(owner)};
}

TEST(WindowEnumerator, ListsOtherApplicationsUsableWindowsSortedByNameAndTitle) {
  const ShareableApplication mail{"Mail", "org.example.Mail", 10};
  const ShareableApplication terminal{"terminal", "XTerm", 11};
  const ShareableApplication self{"Tavelin", "tavelin", 4242};
  const ShareableApplication nameless{"", "x", 12};
  ShareableContent content;
  content.windows = {
      shareable(1, "Inbox", {0, 0, 800, 600}, mail),
      shareable(2, "build", {0, 0, 640, 480}, terminal),
      shareable(3, "", {0, 0, 640, 480}, terminal),
      shareable(4, "Archive", {0, 0, 800, 600}, mail),
      shareable(5, "narrow", {0, 0, 40, 600}, mail),  // exactly 40 points: too small
      shareable(6, "wide enough", {0, 0, 40.5, 40.5}, mail),
      shareable(7, "Settings", {0, 0, 800, 600}, self),  // the host's own
      shareable(8, "panel", {0, 0, 800, 30}, mail),
      shareable(9, "menu", {0, 0, 800, 600}, mail, 25),  // not an ordinary layer
      shareable(10, "orphan", {0, 0, 800, 600}, std::nullopt),
      shareable(11, "", {0, 0, 800, 600}, nameless),  // nothing to show for it
  };
  std::vector<std::uint32_t> ids;
  for (const auto& window : WindowEnumerator::pickable(content, 4242)) ids.push_back(window.id);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{4, 1, 6, 3, 2}));
}

TEST(WindowEnumerator, AsksTheCaptureServiceAndGivesNothingWhenItCannotAnswer) {
  testing::FakeCaptureService service;
  service.content->windows = {
      shareable(1, "Inbox", {0, 0, 800, 600}, ShareableApplication{"Mail", "m", 10})};
  std::vector<WindowInfo> listed;
  WindowEnumerator::windows(service, 4242,
                            [&](std::vector<WindowInfo> windows) { listed = std::move(windows); });
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].title, "Inbox");
  service.content.reset();
  WindowEnumerator::windows(service, 4242,
                            [&](std::vector<WindowInfo> windows) { listed = std::move(windows); });
  EXPECT_TRUE(listed.empty());
}

class WindowResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry->identifiers = {{10, "org.example.Mail"}, {11, "XTerm"}, {12, "org.example.Other"}};
    server->windows = {
        {100, 10, 0, {0, 0, 800, 600}, "Inbox", "Mail", true, {}},
        {101, 10, 0, {0, 0, 800, 600}, "Drafts", "Mail", true, {}},
        {200, 11, 0, {0, 0, 640, 480}, "build", "Terminal", true, {}},
        {300, 12, 0, {0, 0, 640, 480}, "other", "Other", true, {}},
        {400, 11, 0, {0, 0, 640, 480}, "hidden", "Terminal", false, {}},
    };
  }
  WindowResolution resolve(const WindowTarget& target) { return resolver.resolve(target); }
  static std::optional<std::uint32_t> found(const WindowResolution& r) {
    if (const auto* f = std::get_if<WindowResolution::Found>(&r.value)) return f->windowID;
    return std::nullopt;
  }

  std::shared_ptr<testing::FakeWindowServer> server = std::make_shared<testing::FakeWindowServer>();
  std::shared_ptr<testing::FakeApplicationRegistry> registry =
      std::make_shared<testing::FakeApplicationRegistry>();
  std::vector<std::string> logged;
  WindowResolver resolver{server, std::make_shared<RunningApplicationCache>(registry),
                          [this](std::string_view category, std::string_view message) {
                            logged.push_back(std::string(category) + ": " + std::string(message));
                          }};
};

TEST_F(WindowResolverTest, RememberedWindowsAreKeptWhileTheyBelongToTheTarget) {
  EXPECT_EQ(found(resolve({"XTerm", "Terminal", "", 11, 400, 640, 480})), 400u);  // off screen too
  // Window 300 still exists but another application owns it: fall through to the bundle match.
  EXPECT_EQ(found(resolve({"XTerm", "Terminal", "", 11, 300, 640, 480})), 200u);
  // An empty bundle identifier: found while the remembered window exists, else never.
  EXPECT_EQ(found(resolve({"", "Mail", "", 10, 100, 800, 600})), 100u);
  EXPECT_TRUE(std::holds_alternative<WindowResolution::NotFound>(
      resolve({"", "Mail", "", 10, 999, 1, 1}).value));
  EXPECT_TRUE(std::holds_alternative<WindowResolution::NotFound>(
      resolve({"gone.App", "Gone", "", 1, 0, 1, 1}).value));
}

TEST_F(WindowResolverTest, TitleHintsSettleAmbiguityOrTheUserChoosesAgain) {
  EXPECT_EQ(found(resolve({"org.example.Mail", "Mail", "Drafts", 10, 0, 0, 0})), 101u);
  EXPECT_TRUE(logged.empty());

  server->windows[1].name = "Inbox";  // two windows titled as the hint
  const auto both = resolve({"org.example.Mail", "Mail", "Inbox", 10, 0, 0, 0});
  const auto* ambiguous = std::get_if<WindowResolution::Ambiguous>(&both.value);
  ASSERT_TRUE(ambiguous);
  EXPECT_EQ(ambiguous->candidates.size(), 2u);
  EXPECT_EQ(logged,
            std::vector<std::string>{
                "Windows: Target Mail matched 2 windows \u2014 asking the user to select again"});
  EXPECT_TRUE(std::holds_alternative<WindowResolution::Ambiguous>(
      resolve({"org.example.Mail", "Mail", "", 10, 0, 0, 0}).value));
}

TEST_F(WindowResolverTest, LiveWindowsNeedAnOrdinaryLayerAndMoreThanFortyPoints) {
  server->windows = {{1, 11, 0, {0, 0, 40, 480}, "a", "T", true, {}},
                     {2, 11, 0, {0, 0, 40.5, 40.5}, "b", "T", true, {}},
                     {3, 11, 8, {0, 0, 640, 480}, "c", "T", true, {}}};
  const auto live = resolver.liveWindows();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].id, 2u);
  EXPECT_EQ(live[0].bundleIdentifier, "XTerm");
}

TEST(RunningApplicationCache, RemembersAnswersForFiveSecondsUnknownOnesToo) {
  auto registry = std::make_shared<testing::FakeApplicationRegistry>();
  registry->identifiers = {{10, "org.example.Mail"}};
  testing::FakeClock clock(testing::utc(2026, 3, 1));
  RunningApplicationCache cache(registry, clock.clock());
  EXPECT_EQ(cache.bundleIdentifier(10), "org.example.Mail");
  EXPECT_EQ(cache.bundleIdentifier(99), std::nullopt);
  registry->identifiers[10] = "org.example.Changed";
  registry->identifiers[99] = "late";
  clock.advance(4900ms);
  EXPECT_EQ(cache.bundleIdentifier(10), "org.example.Mail");
  EXPECT_EQ(cache.bundleIdentifier(99), std::nullopt);
  EXPECT_EQ(registry->lookups, 2);
  clock.advance(100ms);
  EXPECT_EQ(cache.bundleIdentifier(10), "org.example.Changed");
  EXPECT_EQ(cache.bundleIdentifier(99), "late");
}

TEST(DisplayManager, RectanglesGoToTheDisplayTheyOverlapMost) {
  const std::vector<DisplayInfo> displays = {
      {2, {-1920, 0, 1920, 1080}, 1}, {1, {0, 0, 1920, 1080}, 1}, {3, {1920, 0, 1920, 1080}, 1}};
  using DisplayManager::displayContaining;
  EXPECT_EQ(displayContaining(displays, {-100, 0, 400, 300})->id, 1u);  // 300 of 400 on display 1
  EXPECT_EQ(displayContaining(displays, {-200, 0, 400, 300})->id,
            2u);  // equal halves: listed first
  EXPECT_EQ(displayContaining(displays, {9000, 9000, 10, 10})->id, 1u);  // nowhere: the one at 0,0
  EXPECT_EQ(displayContaining({displays[0]}, {9000, 9000, 10, 10})->id, 2u);
  EXPECT_EQ(displayContaining(displays, {0, 0, 0, 10}), std::nullopt);
  EXPECT_EQ(displayContaining({}, {0, 0, 10, 10}), std::nullopt);
  EXPECT_EQ(DisplayManager::displayFor(displays, 3)->bounds.x, 1920);
  EXPECT_EQ(DisplayManager::displayFor(displays, 7), std::nullopt);

  testing::FakeWindowServer server;
  server.screens = {{5, {0, 0, 1280, 800}, 1, true}};
  EXPECT_EQ(DisplayManager::displays(server),
            (std::vector<DisplayInfo>{{5, {0, 0, 1280, 800}, 1}}));
}

TEST(WindowMover, FindsTheWindowByTitleThenPositionThenTakesTheFirst) {
  testing::FakeWindowControl control;
  control.byProcess[10] = {{1, "Other", ScreenPoint{0, 0}},
                           {2, "Inbox", ScreenPoint{500, 500}},
                           {3, std::nullopt, ScreenPoint{103.9, 96.1}}};
  const WindowInfo inbox{7, "Inbox", "Mail", "org.example.Mail", 10, {100, 100, 800, 600}, true};
  EXPECT_TRUE(WindowMover::move(control, inbox, {10, 20}));
  WindowInfo untitled = inbox;
  untitled.title = "";
  EXPECT_TRUE(WindowMover::move(control, untitled, {30, 40}));
  untitled.frame.x = 300;  // matches nothing: the application's first window moves
  EXPECT_TRUE(WindowMover::move(control, untitled, {50, 60}));
  ASSERT_EQ(control.moves.size(), 3u);
  EXPECT_EQ(control.moves[0].first, 2u);
  EXPECT_EQ(control.moves[1].first, 3u);
  EXPECT_EQ(control.moves[2].first, 1u);
  EXPECT_EQ(control.moves[2].second, (ScreenPoint{50, 60}));

  control.trusted = false;
  EXPECT_FALSE(WindowMover::move(control, inbox, {0, 0}));
  control.trusted = true;
  control.byProcess[10].clear();
  EXPECT_FALSE(WindowMover::move(control, inbox, {0, 0}));
  EXPECT_FALSE(WindowMover::move(control, {1, "", "", "", 77, {}, true}, {0, 0}));
}

}  // namespace
}  // namespace tavelin
