#include <gtest/gtest.h>

#include <thread>

#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Foundation/FolderLock.hpp"
#include "TavelinKit/Model/PortalManager.hpp"
#include "TavelinKit/Pairing/DeviceHistoryStore.hpp"
#include "TavelinKit/Pairing/PairingService.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/FlakyDisk.hpp"
#include "tests/support/PortalSamples.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::readText;
using testing::samplePortals;
using testing::writeText;

class DataFolderTest : public ::testing::Test {
 protected:
  std::shared_ptr<DataFolder> openFolder() {
    auto made = std::make_shared<DataFolder>(dir.path(), disk.writer(), clock.clock());
    made->onLog = [this](const std::string& line) { logs.push_back(line); };
    made->onUnsavedChange = [this] { ++unsavedChanges; };
    return made;
  }

  testing::TemporaryDirectory dir;
  testing::FakeClock clock{testing::utc(2026, 12, 7, 5, 30, 0)};
  testing::FlakyDisk disk;
  std::vector<std::string> logs;
  int unsavedChanges = 0;
  std::shared_ptr<DataFolder> folder = openFolder();
};

TEST_F(DataFolderTest, AFailedSaveIsReportedOnceKeptAndWrittenAgainUntilItSucceeds) {
  ASSERT_TRUE(folder->save("a.json", "one"));
  *disk.full = true;
  EXPECT_FALSE(folder->save("a.json", "two"));
  EXPECT_FALSE(folder->save("a.json", "three"));  // the newest bytes wait, reported once
  EXPECT_FALSE(folder->retryUnsaved());
  EXPECT_EQ(readText(dir / "a.json"), "one");
  EXPECT_EQ(folder->unsavedFiles(), std::vector<std::string>{"a.json"});
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0],
            "Could not save a.json (No space left on device); keeping the change and trying "
            "again every second");
  EXPECT_EQ(unsavedChanges, 1);

  *disk.full = false;
  EXPECT_TRUE(folder->retryUnsaved());
  EXPECT_EQ(readText(dir / "a.json"), "three");
  EXPECT_TRUE(folder->unsavedFiles().empty());
  EXPECT_EQ(logs.back(), "Saved a.json again");
  EXPECT_EQ(unsavedChanges, 2);
  EXPECT_TRUE(folder->retryUnsaved());  // nothing waits: nothing is written or said
  EXPECT_EQ(logs.size(), 2u);

  // A direct save that works also ends the wait.
  *disk.full = true;
  folder->save("b.json", "x");
  *disk.full = false;
  folder->save("b.json", "y");
  EXPECT_TRUE(folder->unsavedFiles().empty());
  EXPECT_EQ(readText(dir / "b.json"), "y");
}

TEST_F(DataFolderTest, WhatCannotBeDecodedOrReadIsKeptAsideUnderADatedName) {
  writeText(dir / "a.json", "damaged");
  const auto decodesNothing = [](std::string_view) { return false; };
  EXPECT_FALSE(folder->load("a.json", decodesNothing));
  EXPECT_FALSE(std::filesystem::exists(dir / "a.json"));
  EXPECT_EQ(readText(dir / "a.json.damaged-20261207T053000Z"), "damaged");
  EXPECT_EQ(logs.back(),
            "a.json could not be decoded; kept it as a.json.damaged-20261207T053000Z and "
            "started without it");
  // Twice in the same second: neither copy replaces the other.
  writeText(dir / "a.json", "again");
  folder->load("a.json", decodesNothing);
  EXPECT_EQ(testing::keptAside(dir.path(), "a.json"),
            (std::vector<std::string>{"damaged", "again"}));

  // Missing and empty files are simply nothing; good ones come back whole.
  EXPECT_FALSE(folder->load("missing.json", decodesNothing));
  writeText(dir / "empty.json", "");
  EXPECT_FALSE(folder->load("empty.json", decodesNothing));
  EXPECT_TRUE(std::filesystem::exists(dir / "empty.json"));
  writeText(dir / "good.json", "[]");
  EXPECT_EQ(folder->load("good.json", [](std::string_view) { return true; }), "[]");

  // Something that is not a file cannot be read: moved aside as well.
  std::filesystem::create_directories(dir / "odd.json" / "inside");
  EXPECT_FALSE(folder->load("odd.json", decodesNothing));
  EXPECT_TRUE(std::filesystem::exists(dir / "odd.json.damaged-20261207T053000Z" / "inside"));
}

// Every stored file survives a full disk: what memory holds is written once the disk has room,
// so a restart never brings back what was undone, above all a revoked phone's token.
TEST_F(DataFolderTest, EveryStoreSavesWhatItHoldsOnceTheDiskHasRoomAgain) {
  auto pairing = std::make_shared<PairingService>(StoredFile(folder, "devices.json"));
  const auto kept = pairing->issueToken("Kept");
  const auto revoked = pairing->issueToken("Revoked");
  PortalManager portals(std::make_shared<PortalStore>(StoredFile(folder, "portals.json")));
  DeviceHistoryStore history(StoredFile(folder, "device-history.json"));
  const Uuid phone = Uuid::random();

  *disk.full = true;
  pairing->revoke(revoked.device.id);
  const auto late = pairing->issueToken("Late");
  for (const auto& portal : samplePortals()) portals.add(portal);
  history.record(phone, DeviceEvent::Kind::paired, clock.now());
  EXPECT_EQ(folder->unsavedFiles(),
            (std::vector<std::string>{"device-history.json", "devices.json", "portals.json"}));
  {
    // A restart now would bring the revoked phone back: that is what the retries prevent.
    PairingService fromDisk(dir / "devices.json");
    EXPECT_TRUE(fromDisk.validate(revoked.token));
  }
  *disk.full = false;
  EXPECT_TRUE(folder->retryUnsaved());

  PairingService restarted(dir / "devices.json");
  EXPECT_FALSE(restarted.validate(revoked.token));
  EXPECT_TRUE(restarted.validate(kept.token));
  EXPECT_TRUE(restarted.validate(late.token));
  EXPECT_EQ(PortalStore(dir / "portals.json").load(), samplePortals());
  EXPECT_EQ(DeviceHistoryStore(dir / "device-history.json").events(phone).size(), 1u);
}

TEST(FolderLock, OneHostPerFolderUntilItLetsGo) {
  testing::TemporaryDirectory dir;
  const auto folder = dir / "Tavelin";
  std::string why;
  auto first = FolderLock::acquire(folder, why);
  ASSERT_TRUE(first) << why;
  EXPECT_FALSE(FolderLock::acquire(folder, why));
  EXPECT_EQ(why, "another Tavelin host (process " + std::to_string(::getpid()) + ") is using " +
                     folder.string());
  // Moving the lock keeps it; dropping it lets the next host in.
  auto moved = std::move(*first);
  first.reset();
  EXPECT_FALSE(FolderLock::acquire(folder, why));
  { [[maybe_unused]] auto gone = std::move(moved); }
  EXPECT_TRUE(FolderLock::acquire(folder, why));

  // A folder that cannot be made says so.
  writeText(dir / "file", "x");
  EXPECT_FALSE(FolderLock::acquire(dir / "file" / "Tavelin", why));
  EXPECT_NE(why.find("cannot create"), std::string::npos);
}

}  // namespace
}  // namespace tavelin
