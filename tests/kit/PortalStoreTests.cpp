#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinKit/Model/PortalManager.hpp"
#include "TavelinKit/Model/PortalStore.hpp"
#include "tests/support/FlakyDisk.hpp"
#include "tests/support/PortalSamples.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using testing::readText;
using testing::samplePortals;
using testing::writeText;

// Makes every later write of `file` fail, also for root: its temporary file cannot be created
// where a directory stands.
void blockWrites(const std::filesystem::path& file) {
  std::filesystem::create_directories(std::filesystem::path(file.string() + ".tmp") / "inside");
}

class PortalStoreTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory dir;
  std::filesystem::path file = dir / "portals.json";
};

TEST_F(PortalStoreTest, MissingEmptyOrCorruptFilesLoadAsNoPortals) {
  PortalStore store(file);
  EXPECT_TRUE(store.load().empty());
  for (const std::string contents : {"", "{}", "[{\"id\":1}]", "garbage", "[", "\xFF\xFE"}) {
    writeText(file, contents);
    EXPECT_TRUE(store.load().empty()) << contents;
  }
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_TRUE(store.load().empty());
}

TEST_F(PortalStoreTest, SavesWholeListsAtomicallyCreatingTheDirectory) {
  PortalStore store(dir / "nested" / "portals.json");
  ASSERT_TRUE(store.save(samplePortals()));
  EXPECT_EQ(store.load(), samplePortals());
  EXPECT_FALSE(std::filesystem::exists(dir / "nested" / "portals.json.tmp"));
  EXPECT_EQ(store.url(), dir / "nested" / "portals.json");
}

TEST_F(PortalStoreTest, HalfWrittenFileIsNeverLeftBehindByAFailedSave) {
  PortalStore store(file);
  ASSERT_TRUE(store.save(samplePortals()));
  const std::string before = readText(file);
  blockWrites(file);
  EXPECT_FALSE(store.save({samplePortals()[0]}));
  EXPECT_EQ(readText(file), before);
}

TEST_F(PortalStoreTest, ManagerKeepsItsCatalogueWhenSavesFail) {
  auto store = std::make_shared<PortalStore>(file);
  PortalManager manager(store);
  blockWrites(file);
  for (const auto& portal : samplePortals()) manager.add(portal);
  EXPECT_EQ(manager.portals(), samplePortals());
  EXPECT_FALSE(std::filesystem::exists(file));
  // Writes work again: the next change saves everything held in memory.
  std::filesystem::remove_all(file.string() + ".tmp");
  manager.remove(samplePortals()[0].id);
  EXPECT_EQ(PortalStore(file).load(), (std::vector{samplePortals()[1], samplePortals()[2]}));
}

TEST_F(PortalStoreTest, ACorruptFileIsKeptAsideAndTheNextSaveStartsAfresh) {
  writeText(file, "[{\"id\": \"truncated");
  auto store = std::make_shared<PortalStore>(file);
  PortalManager manager(store);
  EXPECT_TRUE(manager.portals().empty());
  manager.add(samplePortals()[1]);
  EXPECT_EQ(store->load(), std::vector{samplePortals()[1]});
  EXPECT_EQ(testing::keptAside(dir.path(), "portals.json"),
            std::vector<std::string>{"[{\"id\": \"truncated"});
}

struct Recorder {
  std::vector<std::string> events;

  void attach(PortalManager& manager) {
    manager.onChange = [this] { events.push_back("change"); };
    manager.onActiveChange = [this](const std::optional<Portal>& portal) {
      events.push_back("active:" + (portal ? portal->name : std::string("none")));
    };
  }
};

TEST_F(PortalStoreTest, ManagerEditsPersistAndFireCallbacksInOrder) {
  auto store = std::make_shared<PortalStore>(file);
  PortalManager manager(store);
  Recorder recorder;
  recorder.attach(manager);
  const auto samples = samplePortals();

  manager.add(samples[0]);
  manager.add(samples[1]);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"change", "change"}));
  EXPECT_EQ(manager.activePortal(), std::nullopt);

  // Updating an unknown portal appends it, and only the list changes.
  recorder.events.clear();
  manager.update(samples[2]);
  EXPECT_EQ(recorder.events, std::vector<std::string>{"change"});
  EXPECT_EQ(manager.portals(), samples);

  // Editing the active portal: the list first, then the active portal with the new value.
  manager.activate(samples[1].id);
  recorder.events.clear();
  auto edited = samples[1];
  edited.name = "Renamed";
  manager.update(edited);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"change", "active:Renamed"}));
  EXPECT_EQ(manager.portals()[1].name, "Renamed");  // replaced in place
  EXPECT_EQ(manager.activePortal()->name, "Renamed");

  // Removing the active portal clears it; no other portal takes its place.
  recorder.events.clear();
  manager.remove(edited.id);
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"change", "active:none"}));
  EXPECT_EQ(manager.activePortal(), std::nullopt);
  EXPECT_EQ(manager.portals().size(), 2u);

  // Everything reached the file; the active portal is not stored.
  EXPECT_EQ(PortalManager(store).portals(), (std::vector{samples[0], samples[2]}));
  EXPECT_EQ(PortalManager(store).activePortal(), std::nullopt);
}

TEST_F(PortalStoreTest, ActivationFiresEvenWhenUnchangedAndIgnoresUnknownIds) {
  auto store = std::make_shared<PortalStore>(file);
  PortalManager manager(store);
  for (const auto& portal : samplePortals()) manager.add(portal);
  Recorder recorder;
  recorder.attach(manager);
  const auto saved = readText(file);

  manager.activate(samplePortals()[0].id);
  manager.activate(samplePortals()[0].id);
  manager.activate(Uuid::random());
  EXPECT_EQ(manager.activePortal(), samplePortals()[0]);
  manager.activate(std::nullopt);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"active:Left screen", "active:Left screen", "active:none"}));
  EXPECT_EQ(manager.activePortal(), std::nullopt);
  EXPECT_EQ(readText(file), saved);  // activation is never saved

  // Removing a portal that is not active leaves the active one alone.
  manager.activate(samplePortals()[2].id);
  recorder.events.clear();
  manager.remove(samplePortals()[0].id);
  manager.remove(Uuid::random());
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"change", "change"}));
  EXPECT_EQ(manager.activePortal(), samplePortals()[2]);
  EXPECT_EQ(manager.find(samplePortals()[1].id), samplePortals()[1]);
  EXPECT_EQ(manager.find(samplePortals()[0].id), std::nullopt);
}

TEST(AppPaths, FollowTheXdgDataDirectoryWithAHomeFallback) {
  testing::TemporaryDirectory dir;
  const char* savedData = std::getenv("XDG_DATA_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string oldData = savedData ? savedData : "";
  const std::string oldHome = savedHome ? savedHome : "";

  ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  EXPECT_EQ(AppPaths::root(), dir / "data" / "Tavelin");
  EXPECT_EQ(AppPaths::portalsFile(), dir / "data" / "Tavelin" / "portals.json");
  EXPECT_EQ(AppPaths::devicesFile().filename(), "devices.json");
  EXPECT_EQ(AppPaths::settingsFile().filename(), "settings.json");
  EXPECT_EQ(AppPaths::deviceHistoryFile().filename(), "device-history.json");
  AppPaths::ensureCreated();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "data" / "Tavelin" / "logs"));
  EXPECT_EQ(std::filesystem::status(AppPaths::root()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);

  ::setenv("HOME", (dir / "home").c_str(), 1);
  for (const char* ignored : {"", "relative/path"}) {
    ::setenv("XDG_DATA_HOME", ignored, 1);
    EXPECT_EQ(AppPaths::root(), dir / "home" / ".local" / "share" / "Tavelin");
  }
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(AppPaths::logDirectory(), dir / "home" / ".local" / "share" / "Tavelin" / "logs");

  savedData ? ::setenv("XDG_DATA_HOME", oldData.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
  savedHome ? ::setenv("HOME", oldHome.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace tavelin
