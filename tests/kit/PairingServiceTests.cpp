#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "TavelinKit/Pairing/PairingService.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/FlakyDisk.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::readText;
using testing::utc;
using testing::writeText;
using Verification = PairingService::PinVerification;

class PairingServiceTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory dir;
  std::filesystem::path file = dir / "Tavelin" / "devices.json";
  testing::FakeClock clock{utc(2026, 3, 1, 9, 0, 0)};

  std::shared_ptr<PairingService> makeService() {
    return std::make_shared<PairingService>(file, clock.clock());
  }
  // A wrong PIN for sure: the right one with its first digit changed.
  static std::string wrongPin(const PairingService& service) {
    std::string pin = service.pin();
    pin[0] = pin[0] == '9' ? '0' : static_cast<char>(pin[0] + 1);
    return pin;
  }
  // Overwrites the file with a marker: if the marker is still there later, nothing was written.
  void markFile() { writeText(file, "marker"); }
  bool fileWasWritten() { return readText(file) != "marker"; }
};

TEST_F(PairingServiceTest, PinsAreSixDigitsAndCoverTheWholeRange) {
  auto service = makeService();
  const std::regex sixDigits("[0-9]{6}");
  std::set<char> leading;
  for (int i = 0; i < 400; ++i) {
    service->regeneratePin();
    ASSERT_TRUE(std::regex_match(service->pin(), sixDigits)) << service->pin();
    leading.insert(service->pin()[0]);
  }
  EXPECT_EQ(leading.size(), 10u);  // leading zeros included
}

TEST_F(PairingServiceTest, SubmittedPinIsTrimmedAndComparedExactly) {
  auto service = makeService();
  const std::string pin = service->pin();
  EXPECT_EQ(service->verifyPin(" " + pin + "\n"), Verification::ok);
  EXPECT_EQ(service->verifyPin(pin + "0"), Verification::incorrect);
  EXPECT_EQ(service->verifyPin(pin.substr(1)), Verification::incorrect);
  EXPECT_EQ(service->verifyPin(std::nullopt), Verification::incorrect);
  EXPECT_EQ(service->verifyPin(" \t"), Verification::incorrect);

  EXPECT_TRUE(PairingService::constantTimeEquals("", ""));
  EXPECT_TRUE(PairingService::constantTimeEquals("123456", "123456"));
  EXPECT_FALSE(PairingService::constantTimeEquals("123456", "123457"));
  EXPECT_FALSE(PairingService::constantTimeEquals("123456", "12345"));
}

TEST_F(PairingServiceTest, LockoutScheduleAndWhatEndsIt) {
  auto service = makeService();
  const auto lockOut = [&] {
    for (int i = 0; i < 5; ++i)
      ASSERT_EQ(service->verifyPin(wrongPin(*service)), Verification::incorrect);
  };
  // Seven lockouts in a row without a success in between: 60 s doubling, capped at an hour.
  for (const auto length : {60s, 120s, 240s, 480s, 960s, 1920s, 3600s, 3600s}) {
    lockOut();
    clock.advance(length - 1s);
    EXPECT_EQ(service->verifyPin(service->pin()), Verification::locked) << length.count();
    EXPECT_EQ(std::get<PairingFailure>(service->pair(service->pin(), "x")).reason,
              "Too many attempts. Try again in a minute.");
    clock.advance(1s);
  }
  // Open again: the correct PIN works and clears both counters, so the next lockout is 60 s.
  EXPECT_EQ(service->verifyPin(service->pin()), Verification::ok);
  lockOut();
  clock.advance(60s);
  EXPECT_EQ(service->verifyPin(service->pin()), Verification::ok);

  // A rotation ends a lockout at once, but the lockout still counts towards the next one.
  service->regeneratePin();
  lockOut();
  EXPECT_EQ(service->verifyPin(service->pin()), Verification::locked);
  clock.advance(30s);
  EXPECT_FALSE(service->rotatePinIfStale(3600s));
  EXPECT_TRUE(service->rotatePinIfStale(30s));
  EXPECT_EQ(service->verifyPin(wrongPin(*service)), Verification::incorrect);  // open again
  for (int i = 0; i < 4; ++i) service->verifyPin(wrongPin(*service));
  clock.advance(119s);
  EXPECT_EQ(service->verifyPin(service->pin()), Verification::locked);  // 120 s this time
  clock.advance(1s);
  EXPECT_EQ(service->verifyPin(service->pin()), Verification::ok);

  // regeneratePin ends a lockout and forgets the earlier ones: the next lasts 60 s again.
  lockOut();
  service->regeneratePin();
  EXPECT_EQ(service->verifyPin(wrongPin(*service)), Verification::incorrect);
  for (int i = 0; i < 4; ++i) service->verifyPin(wrongPin(*service));
  clock.advance(60s);
  EXPECT_EQ(service->verifyPin(service->pin()), Verification::ok);
}

TEST_F(PairingServiceTest, PairingStoresOnlyTheHashAndUsesUpThePin) {
  auto service = makeService();
  std::vector<std::string> calls;
  service->onDevicesChange = [&] {
    calls.push_back("devices:" + std::to_string(service->pairedDevices().size()));
  };
  service->onDevicePaired = [&](const PairedDevice& device) {
    calls.push_back("paired:" + device.name);
  };
  service->onPinChange = [&] {
    calls.push_back("pin:" + service->pin());
  };  // re-enters the service

  const std::string oldPin = service->pin();
  const auto result = service->pair(oldPin, "  Pixel 8\n");
  ASSERT_TRUE(std::holds_alternative<IssuedToken>(result));
  const auto& issued = std::get<IssuedToken>(result);
  EXPECT_EQ(calls,
            (std::vector<std::string>{"devices:1", "paired:Pixel 8", "pin:" + service->pin()}));

  EXPECT_TRUE(std::regex_match(issued.token, std::regex("[A-Za-z0-9_-]{43}")));
  EXPECT_EQ(issued.device.tokenHash.size(), 44u);
  EXPECT_EQ(issued.device.tokenHash, PairingService::tokenHash(issued.token));
  EXPECT_EQ(issued.device.pairedAt, clock.now());
  EXPECT_EQ(issued.device.lastSeenAt, clock.now());

  const std::string written = readText(file);
  EXPECT_EQ(written.find(issued.token), std::string::npos);
  EXPECT_NE(written.find(issued.device.tokenHash), std::string::npos);
  const auto stored = nlohmann::json::parse(written);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["id"], issued.device.id.string());
  EXPECT_EQ(stored[0]["pairedAt"], "2026-03-01T09:00:00Z");
  EXPECT_LT(written.find("\"id\""), written.find("\"lastSeenAt\""));  // sorted keys
  EXPECT_LT(written.find("\"name\""), written.find("\"tokenHash\""));

  if (service->pin() != oldPin) {  // one draw in a million repeats it
    EXPECT_EQ(std::get<PairingFailure>(service->pair(oldPin, "Second")).reason, "Incorrect PIN.");
  }
  EXPECT_EQ(makeService()->pairedDevices(), service->pairedDevices());
}

TEST_F(PairingServiceTest, DeviceNamesAreCleaned) {
  const std::string sixty(60, 'n');
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "Phone"},
      {"", "Phone"},
      {"    ", "Phone"},
      {"\x07\x1B\u200B", "Phone"},
      {sixty, std::string(48, 'n')},
      {"Zo\x07\u00EB's phone", "Zo\u00EB's phone"},
      {"\tiPad \n", "iPad"},
      {"Anna\u2028Approved: evil\u2029", "AnnaApproved: evil"},
      {"\u202Eenohp s'annA", "enohp s'annA"},
      {"\u2066Pixel\u2069 \u2067x\u2069", "Pixel x"},
      {std::string(47, 'a') + " \U0001F44D\U0001F3FD",
       std::string(47, 'a') + " "},  // no trim after the cut
      {std::string(47, 'a') + "\U0001F1EB\U0001F1F7x",
       std::string(47, 'a') + "\U0001F1EB\U0001F1F7"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(PairingService::sanitize(input), expected) << input.value_or("(absent)");
  }
}

TEST_F(PairingServiceTest, ValidationRefreshesLastSeenButWritesAtMostEveryTenMinutes) {
  auto service = makeService();
  const auto issued = service->issueToken("Phone");
  EXPECT_EQ(service->validate(std::nullopt), std::nullopt);
  EXPECT_EQ(service->validate(""), std::nullopt);
  EXPECT_EQ(service->validate("not-a-token"), std::nullopt);

  clock.advance(10s);
  markFile();
  auto seen = service->validate(issued.token);  // the first validation writes
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->lastSeenAt, clock.now());
  EXPECT_TRUE(fileWasWritten());

  markFile();
  clock.advance(10s);
  seen = service->validate(issued.token);
  EXPECT_EQ(seen->lastSeenAt, clock.now());  // fresh in memory
  EXPECT_FALSE(fileWasWritten());
  clock.advance(590s);  // exactly 600 s after the last write: still not more than 600
  service->validate(issued.token);
  EXPECT_FALSE(fileWasWritten());
  clock.advance(1s);
  service->validate(issued.token);
  EXPECT_TRUE(fileWasWritten());
  EXPECT_EQ(makeService()->pairedDevices()[0].lastSeenAt, clock.now());
}

TEST_F(PairingServiceTest, TokensExpireLazilyAfterThirtyIdleDays) {
  auto service = makeService();
  const auto kept = service->issueToken("Kept");
  const auto idle = service->issueToken("Idle");
  int changes = 0;
  service->onDevicesChange = [&] { ++changes; };

  clock.advance(PairingService::maxTokenIdleAge);
  ASSERT_TRUE(service->validate(kept.token));  // exactly 30 days: still valid
  clock.advance(1s);
  EXPECT_EQ(service->validate(idle.token), std::nullopt);
  EXPECT_EQ(service->pairedDevices().size(), 1u);
  EXPECT_EQ(service->device(idle.device.id), std::nullopt);
  EXPECT_EQ(makeService()->pairedDevices().size(), 1u);  // removed from the file as well
  EXPECT_EQ(changes, 0);                                 // a silent removal
  EXPECT_EQ(service->validate(kept.token)->id, kept.device.id);
}

TEST_F(PairingServiceTest, RevocationRewritesTheFileAndNotifies) {
  auto service = makeService();
  const auto a = service->issueToken("A");
  const auto b = service->issueToken("B");
  int changes = 0;
  service->onDevicesChange = [&] { ++changes; };

  markFile();
  service->revoke(Uuid::random());  // not paired: still rewrites and notifies
  EXPECT_TRUE(fileWasWritten());
  EXPECT_EQ(changes, 1);
  service->revoke(a.device.id);
  EXPECT_EQ(service->validate(a.token), std::nullopt);
  EXPECT_EQ(service->device(b.device.id)->name, "B");
  service->revokeAll();
  EXPECT_TRUE(service->pairedDevices().empty());
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(readText(file), "[]");
}

TEST_F(PairingServiceTest, DamagedDevicesFilesStartEmptyAndAreKeptAside) {
  auto service = makeService();
  service->issueToken("Good");
  const auto good = nlohmann::json::parse(readText(file));

  auto withoutLastSeen = good;
  withoutLastSeen[0].erase("lastSeenAt");
  auto fractional = good;
  fractional[0]["pairedAt"] = "2026-03-01T09:00:00.500Z";
  std::vector<std::string> damagedFiles{withoutLastSeen.dump(), fractional.dump(),
                                        std::string("{}"), std::string("[{\"id\":")};
  for (const std::string& damaged : damagedFiles) {
    writeText(file, damaged);
    auto reloaded = makeService();
    EXPECT_TRUE(reloaded->pairedDevices().empty()) << damaged;
    // One damaged byte must not cost every paired phone: the next save cannot touch it.
    reloaded->issueToken("After");
    EXPECT_EQ(reloaded->pairedDevices().size(), 1u);
    clock.advance(1s);
  }
  EXPECT_EQ(testing::keptAside(file.parent_path(), "devices.json"), damagedFiles);
}

TEST_F(PairingServiceTest, FailedWritesKeepTheDevicesInMemory) {
  auto service = makeService();
  const auto first = service->issueToken("First");
  const std::string before = readText(file);
  // The temporary file cannot be made where a directory stands, whoever runs the test.
  std::filesystem::create_directories(file.string() + ".tmp/blocked");
  const auto second = service->issueToken("Second");
  EXPECT_EQ(service->pairedDevices().size(), 2u);
  EXPECT_TRUE(service->validate(second.token));
  EXPECT_EQ(readText(file), before);
}

}  // namespace
}  // namespace tavelin
