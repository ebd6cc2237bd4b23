#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TavelinKit/Model/Portal.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/PortalSamples.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using nlohmann::json;
using testing::samplePortals;

TEST(Portal, DisplayNamesTypesAndSummaries) {
  WindowTarget target{"org.example.Mail", "Mail", "", 10, 20, 800, 600};
  EXPECT_EQ(target.displayName(), "Mail");
  target.titleHint = "Inbox";
  EXPECT_EQ(target.displayName(), "Mail \u2014 Inbox");

  const auto portals = samplePortals();
  EXPECT_EQ(portals[0].summary(), "Screen region 800x600 @ 100,200");
  EXPECT_EQ(portals[1].summary(), "Window \u00B7 Mail \u2014 Inbox");
  EXPECT_EQ(portals[2].summary(), "Window region \u00B7 Terminal \u00B7 0.50\u00D71.00 of window");
  EXPECT_EQ(portals[0].typeText(), "Screen region");
  EXPECT_EQ(portals[1].typeText(), "Window");
  EXPECT_EQ(portals[2].typeText(), "Window region");
  EXPECT_EQ(portals[2].type(), PortalType::windowRegion);
  EXPECT_EQ(portals[0].payload.windowTarget(), std::nullopt);
  EXPECT_EQ(portals[2].payload.windowTarget()->applicationName, "Terminal");
}

TEST(Portal, EnumerationsParseOnlyTheirExactRawValues) {
  EXPECT_EQ(fromRawValue<PortalCaptureState>("capturing"), PortalCaptureState::capturing);
  EXPECT_EQ(fromRawValue<PortalCaptureState>("Capturing"), std::nullopt);
  EXPECT_EQ(fromRawValue<PortalType>("windowRegion"), PortalType::windowRegion);
  EXPECT_EQ(fromRawValue<PortalType>("window "), std::nullopt);
  EXPECT_EQ(fromRawValue<WindowCaptureMode>("contentOnly"), WindowCaptureMode::contentOnly);
  EXPECT_EQ(fromRawValue<RegionResizeBehavior>("keepPixelSize"),
            RegionResizeBehavior::keepPixelSize);
  EXPECT_EQ(statusText(PortalCaptureState::windowUnavailable), "Waiting for application\u2026");
  EXPECT_EQ(statusText(PortalCaptureState::permissionRequired),
            "Screen capture permission required");
}

TEST(Portal, FileFormMatchesTheGoldenFileAndRoundTrips) {
  const auto golden =
      testing::readText(std::filesystem::path(TAVELIN_TEST_DATA_DIR) / "golden/portals.json");
  const auto encoded = encodePortalList(samplePortals());
  ASSERT_TRUE(encoded);
  EXPECT_EQ(*encoded, golden);
  EXPECT_EQ(decodePortalList(golden), samplePortals());
  EXPECT_EQ(encodePortalList({}), "[]");
}

TEST(Portal, FractionsOfASecondAreDroppedOnSave) {
  auto portal = samplePortals()[0];
  const Date whole = portal.createdAt;
  portal.createdAt += std::chrono::milliseconds(750);
  const auto decoded = decodePortalList(*encodePortalList({portal}));
  ASSERT_TRUE(decoded);
  EXPECT_EQ((*decoded)[0].createdAt, whole);
}

// Edits the first portal of the golden file and reports whether the list still decodes.
bool decodesAfter(const std::function<void(json&)>& edit) {
  json document = json::parse(*encodePortalList(samplePortals()));
  edit(document);
  return decodePortalList(document.dump()).has_value();
}

TEST(Portal, DecodingRequiresEveryKeyAndRejectsTheWholeListOnOneBadPortal) {
  EXPECT_TRUE(decodesAfter([](json&) {}));
  // Keys of other kinds are ignored; so are unknown keys.
  EXPECT_TRUE(decodesAfter(
      [](json& d) { d[1]["payload"]["screenRegion"] = d[0]["payload"]["screenRegion"]; }));
  EXPECT_TRUE(decodesAfter([](json& d) { d[1]["unknown"] = 1; }));
  EXPECT_TRUE(decodesAfter([](json& d) { d[0]["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f"; }));
  // A file from before sharing was kept loads every portal as shared, as it was then.
  json old = json::parse(*encodePortalList(samplePortals()));
  for (auto& portal : old) portal.erase("shared");
  const auto loaded = decodePortalList(old.dump());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*loaded, samplePortals());
  auto stopped = samplePortals();
  stopped[1].shared = false;
  EXPECT_EQ(decodePortalList(*encodePortalList(stopped)), stopped);

  const std::vector<std::function<void(json&)>> breaks = {
      [](json& d) { d[1]["payload"].erase("window"); },
      [](json& d) { d[1]["payload"]["kind"] = "app"; },
      [](json& d) { d[1]["payload"]["kind"] = "Window"; },
      [](json& d) { d[1]["payload"]["window"]["target"].erase("titleHint"); },
      [](json& d) { d[1]["payload"]["window"]["target"]["processID"] = 1.5; },
      [](json& d) { d[1]["payload"]["window"]["target"]["windowID"] = -1; },
      [](json& d) { d[1]["payload"]["window"]["target"]["windowID"] = 4294967296; },
      [](json& d) { d[1]["payload"]["window"]["captureMode"] = "full"; },
      [](json& d) { d[0]["createdAt"] = "2026-03-01T09:15:02.250Z"; },
      [](json& d) { d[0]["createdAt"] = "2026-03-01T10:15:02+01:00"; },
      [](json& d) { d[0]["id"] = "not-a-uuid"; },
      [](json& d) { d[0].erase("name"); },
      [](json& d) { d[0]["payload"]["screenRegion"]["region"].erase("height"); },
      [](json& d) { d[0]["payload"]["screenRegion"]["showBorder"] = 1; },
      [](json& d) { d[2]["payload"]["windowRegion"]["originalPixelRegion"]["x"] = 0.5; },
      [](json& d) { d[2]["payload"]["windowRegion"]["resizeBehavior"] = "stretch"; },
      [](json& d) { d[2]["payload"]["windowRegion"].erase("region"); },
      [](json& d) { d[2]["payload"] = "windowRegion"; },
      [](json& d) { d[2] = nullptr; },
      [](json& d) { d[0]["shared"] = "yes"; },
  };
  for (std::size_t i = 0; i < breaks.size(); ++i)
    EXPECT_FALSE(decodesAfter(breaks[i])) << "edit " << i;

  EXPECT_FALSE(decodePortalList("{}"));
  EXPECT_FALSE(decodePortalList(""));
  EXPECT_FALSE(decodePortalList("[1]"));
  EXPECT_EQ(decodePortalList("[]"), std::vector<Portal>{});
}

}  // namespace
}  // namespace tavelin
