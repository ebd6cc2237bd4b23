#include <gtest/gtest.h>

#include "TavelinKit/Pairing/DeviceHistoryStore.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/FlakyDisk.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Kind = DeviceEvent::Kind;
using testing::readText;
using testing::utc;
using testing::writeText;

class DeviceHistoryStoreTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory dir;
  std::filesystem::path file = dir / "device-history.json";
  DeviceHistoryStore store{file};
  Uuid phone = Uuid::random();
  Uuid tablet = Uuid::random();
  Date at = utc(2026, 3, 1, 9, 0, 0);

  std::vector<Kind> kinds(const Uuid& device) const {
    std::vector<Kind> out;
    for (const auto& event : store.events(device)) out.push_back(event.kind);
    return out;
  }
};

TEST_F(DeviceHistoryStoreTest, RepeatedConnectionStatesAreRecordedOnce) {
  int changes = 0;
  store.onChange = [&] {
    ++changes;
    (void)store.events(phone);  // callbacks may call back in
  };
  store.record(phone, Kind::disconnected, at);  // nothing before it: recorded
  store.record(phone, Kind::connected, at);
  store.record(tablet, Kind::connected, at);
  store.record(phone, Kind::connected, at);
  store.record(phone, Kind::disconnected, at);
  store.record(phone, Kind::connected, at);
  store.record(phone, Kind::paired, at);
  store.record(phone, Kind::paired, at);
  EXPECT_EQ(kinds(phone), (std::vector{Kind::disconnected, Kind::connected, Kind::disconnected,
                                       Kind::connected, Kind::paired, Kind::paired}));
  EXPECT_EQ(changes, 7);
  EXPECT_EQ(store.connectionCount(phone), 2u);
  EXPECT_EQ(store.connectionCount(tablet), 1u);
  // After a paired event the last event is not "connected", so a connected is recorded again.
  store.record(phone, Kind::connected, at);
  EXPECT_EQ(store.connectionCount(phone), 3u);
}

TEST_F(DeviceHistoryStoreTest, EventsAreBoundedPerDeviceAndOverall) {
  store.record(tablet, Kind::paired, at);
  for (int i = 0; i < 201; ++i) store.record(phone, Kind::paired, at + std::chrono::seconds(i));
  const auto events = store.events(phone);
  ASSERT_EQ(events.size(), 200u);
  EXPECT_EQ(events.front().at, at + 1s);  // the oldest went
  EXPECT_EQ(store.events(tablet).size(), 1u);

  // A full history of 2000 events over ten devices (loaded, not pruned at load): one more
  // event, of an eleventh device, pushes out the single oldest event of the whole list.
  std::vector<Uuid> devices;
  for (int d = 0; d < 11; ++d) devices.push_back(Uuid::random());
  std::vector<DeviceEvent> full;
  for (int i = 0; i < 2000; ++i) {
    full.push_back({Uuid::random(), devices[static_cast<std::size_t>(i % 10)], Kind::paired, at});
  }
  writeText(file, *encodeDeviceHistory(full));
  DeviceHistoryStore loaded(file);
  loaded.record(devices[10], Kind::paired, at);
  EXPECT_EQ(loaded.events(devices[0]).size(), 199u);
  EXPECT_EQ(loaded.events(devices[0]).front(), full[10]);
  EXPECT_EQ(loaded.events(devices[1]).size(), 200u);
  EXPECT_EQ(DeviceHistoryStore(file).events(devices[10]).size(), 1u);
}

TEST_F(DeviceHistoryStoreTest, RemovalWritesAndNotifiesOnlyWhenSomethingGoes) {
  store.record(phone, Kind::connected, at);
  int changes = 0;
  store.onChange = [&] { ++changes; };
  writeText(file, "marker");
  store.removeAll(tablet);
  EXPECT_EQ(readText(file), "marker");
  EXPECT_EQ(changes, 0);
  store.removeAll(phone);
  EXPECT_EQ(readText(file), "[]");
  EXPECT_EQ(changes, 1);
  writeText(file, "marker");
  store.removeAll();
  EXPECT_EQ(readText(file), "marker");
  EXPECT_EQ(changes, 1);
}

TEST_F(DeviceHistoryStoreTest, FileRoundTripsAndDamagedFilesStartEmpty) {
  store.record(phone, Kind::paired, at);
  store.record(phone, Kind::connected, at + 5s);
  const std::string written = readText(file);
  EXPECT_NE(written.find("\"at\": \"2026-03-01T09:00:05Z\""), std::string::npos);
  EXPECT_NE(written.find("\"deviceID\": \"" + phone.string() + "\""), std::string::npos);
  EXPECT_EQ(DeviceHistoryStore(file).events(phone), store.events(phone));

  for (const std::string& damaged : {std::string("{}"), std::string("[{\"id\":\"x\"}]"),
                                     written.substr(0, written.size() / 2)}) {
    writeText(file, damaged);
    EXPECT_TRUE(DeviceHistoryStore(file).events(phone).empty());
  }
  std::string fractional = written;
  fractional.replace(fractional.find("09:00:05Z"), 9, "09:00:05.1Z");
  writeText(file, fractional);
  EXPECT_TRUE(DeviceHistoryStore(file).events(phone).empty());
  EXPECT_EQ(testing::keptAside(file.parent_path(), "device-history.json").size(), 4u);
}

}  // namespace
}  // namespace tavelin
