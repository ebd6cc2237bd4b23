#include <gtest/gtest.h>

#include "TavelinHost/Runtime/HostSettings.hpp"
#include "tests/support/FlakyDisk.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

TEST(HostSettings, MissingKeysTakeDefaultsAndAWrongTypeDiscardsTheFile) {
  const HostSettings defaults;
  EXPECT_EQ(defaults.port, 8787);
  EXPECT_EQ(defaults.targetFps, 30);
  EXPECT_EQ(defaults.jpegQuality, 0.6);
  EXPECT_EQ(defaults.maxFrameDimension, 1440);
  EXPECT_TRUE(defaults.showRegionBorder);
  EXPECT_TRUE(defaults.requireApproval);
  EXPECT_FALSE(defaults.gnomeWithoutDialog);   // the desktop's own dialog unless asked otherwise
  EXPECT_FALSE(defaults.shareClipboard);       // the computer's copied text stays there
  EXPECT_FALSE(defaults.phonesChooseQuality);  // the quality is the computer's to choose
  EXPECT_FALSE(defaults.keepRunningInTray);    // closing the window quits

  HostSettings port9000;
  port9000.port = 9000;
  EXPECT_EQ(HostSettings::decode(R"({"port": 9000})"), port9000);
  EXPECT_EQ(HostSettings::decode("{}"), defaults);
  EXPECT_EQ(HostSettings::decode(R"({"port": 9000, "unknown": [1]})"), port9000);

  // Out-of-range values are kept as they are; users clamp what they read.
  const auto odd =
      HostSettings::decode(R"({"targetFps": 500, "jpegQuality": 7, "maxFrameDimension": -1})");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->targetFps, 500);
  EXPECT_EQ(odd->jpegQuality, 7);
  EXPECT_EQ(odd->maxFrameDimension, -1);

  for (const char* bad :
       {R"({"port": "abc"})", R"({"port": 70000})", R"({"port": -1})", R"({"port": 80.5})",
        R"({"targetFps": true})", R"({"jpegQuality": "high"})", R"({"showRegionBorder": 1})",
        R"({"requireApproval": null})", R"({"gnomeWithoutDialog": "yes"})",
        R"({"shareClipboard": 1})", R"({"phonesChooseQuality": "yes"})",
        R"({"keepRunningInTray": 0})", "[]", "", "not json", R"({"port": 9000)"}) {
    EXPECT_EQ(HostSettings::decode(bad), std::nullopt) << bad;
  }
}

TEST(HostSettings, SavesSortedKeysAndLoadsDefaultsFromDamagedFiles) {
  testing::TemporaryDirectory dir;
  const auto file = dir / "Tavelin" / "settings.json";
  EXPECT_EQ(HostSettings::load(file), HostSettings{});

  HostSettings settings;
  settings.port = 9100;
  settings.targetFps = 60;
  settings.jpegQuality = 0.8;
  settings.maxFrameDimension = 1920;
  settings.showRegionBorder = false;
  settings.requireApproval = false;
  settings.gnomeWithoutDialog = true;
  settings.shareClipboard = true;
  settings.phonesChooseQuality = true;
  settings.keepRunningInTray = true;
  ASSERT_TRUE(settings.save(file));
  EXPECT_EQ(
      testing::readText(file),
      testing::readText(std::filesystem::path(TAVELIN_TEST_DATA_DIR) / "golden/settings.json"));
  EXPECT_EQ(HostSettings::load(file), settings);

  // A failed save reports it and leaves the file alone.
  std::filesystem::create_directories(dir / "Tavelin" / "settings.json.tmp" / "x");
  HostSettings changed = settings;
  changed.port = 9200;
  EXPECT_FALSE(changed.save(file));
  EXPECT_EQ(HostSettings::load(file), settings);
  std::filesystem::remove_all(dir / "Tavelin" / "settings.json.tmp");

  // A damaged file gives the defaults and is kept aside.
  testing::writeText(file, R"({"port": "abc", "targetFps": 15})");
  EXPECT_EQ(HostSettings::load(file), HostSettings{});
  EXPECT_EQ(testing::keptAside(dir / "Tavelin", "settings.json"),
            std::vector<std::string>{R"({"port": "abc", "targetFps": 15})"});
}

TEST(HostSettings, EnteredPortsAreClampedToValidPorts) {
  EXPECT_EQ(HostSettings::clampedPort(0), 1);
  EXPECT_EQ(HostSettings::clampedPort(-5), 1);
  EXPECT_EQ(HostSettings::clampedPort(8787), 8787);
  EXPECT_EQ(HostSettings::clampedPort(70000), 65535);
}

}  // namespace
}  // namespace tavelin
