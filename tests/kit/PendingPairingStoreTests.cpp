#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TavelinKit/Pairing/PendingPairingStore.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Kind = PairStatus::Kind;
using testing::utc;

class PendingPairingStoreTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory dir;
  testing::FakeClock clock{utc(2026, 3, 1, 9, 0, 0)};
  std::shared_ptr<PairingService> pairing =
      std::make_shared<PairingService>(dir / "devices.json", clock.clock());
  PendingPairingStore store{pairing, clock.clock()};
};

TEST_F(PendingPairingStoreTest, RequestsLiveTwoMinutesWhateverTheirOutcome) {
  const auto waiting = store.create("Pixel");
  const auto approved = store.create("iPhone");
  store.approve(approved);
  clock.advance(119s);
  EXPECT_EQ(store.status(waiting).kind, Kind::pending);
  EXPECT_EQ(store.status(approved).kind, Kind::approved);
  clock.advance(2s);
  EXPECT_EQ(store.status(waiting), PairStatus{});
  EXPECT_EQ(store.status(approved).kind, Kind::expiredOrUnknown);
  EXPECT_EQ(store.status(Uuid::random()).kind, Kind::expiredOrUnknown);
}

TEST_F(PendingPairingStoreTest, ApprovalIssuesOneTokenAndCanBeReadUntilExpiry) {
  std::string pinBefore = pairing->pin();
  const auto id = store.create("");
  EXPECT_EQ(pairing->pin(), pinBefore);  // filing a request does not use up the PIN
  store.approve(id);
  store.approve(id);
  ASSERT_EQ(pairing->pairedDevices().size(), 1u);
  const auto device = pairing->pairedDevices()[0];
  EXPECT_EQ(device.name, "Phone");  // cleaned only now

  const PairStatus status = store.status(id);
  ASSERT_EQ(status.kind, Kind::approved);
  EXPECT_EQ(status.approval.deviceId, device.id.string());
  EXPECT_EQ(status.approval.deviceName, "Phone");
  EXPECT_EQ(pairing->validate(status.approval.token)->id, device.id);
  EXPECT_EQ(store.status(id), status);  // reading does not consume it

  // The first answer counts; a later one is told so and changes nothing.
  EXPECT_EQ(store.deny(id), PendingPairingStore::Decision::alreadyMade);
  EXPECT_EQ(store.status(id), status);
  EXPECT_EQ(pairing->pairedDevices().size(), 1u);

  const auto refused = store.create("Other");
  EXPECT_EQ(store.deny(refused), PendingPairingStore::Decision::made);
  EXPECT_EQ(store.approve(refused), PendingPairingStore::Decision::alreadyMade);
  EXPECT_EQ(store.deny(refused), PendingPairingStore::Decision::alreadyMade);
  EXPECT_EQ(store.status(refused).kind, Kind::denied);
  EXPECT_EQ(pairing->pairedDevices().size(), 1u);
  EXPECT_EQ(store.approve(Uuid::random()), PendingPairingStore::Decision::unknown);
}

// Two clicks, a click and a typed "allow", two threads: one request pairs one device.
TEST_F(PendingPairingStoreTest, AnswersRacingForOneRequestPairAtMostOneDevice) {
  for (int round = 0; round < 50; ++round) {
    const auto id = store.create("Racer");
    std::atomic<int> made{0}, already{0};
    std::vector<std::thread> answers;
    for (int t = 0; t < 4; ++t) {
      answers.emplace_back([&, t] {
        const auto decision = t % 2 == 0 || round % 2 == 0 ? store.approve(id) : store.deny(id);
        (decision == PendingPairingStore::Decision::made ? made : already)++;
      });
    }
    for (auto& answer : answers) answer.join();
    EXPECT_EQ(made, 1) << round;
    EXPECT_EQ(already, 3) << round;
  }
  std::size_t approved = 0;
  for (const auto& device : pairing->pairedDevices()) approved += device.name == "Racer" ? 1 : 0;
  EXPECT_GE(approved, 25u);
  EXPECT_LE(approved, 50u);
}

TEST_F(PendingPairingStoreTest, TheNameShownForApprovalIsCleanedAsADevicesName) {
  store.create("Anna\u2028wants to connect: Bob\u202E\x07");
  ASSERT_EQ(store.waiting().size(), 1u);
  EXPECT_EQ(store.waiting()[0].deviceName, "Annawants to connect: Bob");
}

TEST_F(PendingPairingStoreTest, NinthWaitingRequestEvictsTheOldestWaitingOne) {
  const auto decided = store.create("approved early");
  store.approve(decided);
  std::vector<Uuid> ids;
  for (int i = 0; i < 8; ++i) {
    clock.advance(1s);
    ids.push_back(store.create("phone " + std::to_string(i)));
  }
  EXPECT_EQ(store.waiting().size(), 8u);
  clock.advance(1s);
  const auto ninth = store.create("phone 8");
  EXPECT_EQ(store.status(ids[0]).kind, Kind::expiredOrUnknown);
  EXPECT_EQ(store.status(ids[1]).kind, Kind::pending);
  EXPECT_EQ(store.status(ninth).kind, Kind::pending);
  EXPECT_EQ(store.status(decided).kind, Kind::approved);  // decided ones do not count

  const auto waiting = store.waiting();
  ASSERT_EQ(waiting.size(), 8u);
  EXPECT_EQ(waiting.front().deviceName, "phone 1");
  EXPECT_EQ(waiting.back().deviceName, "phone 8");
  for (std::size_t i = 1; i < waiting.size(); ++i) {
    EXPECT_LT(waiting[i - 1].createdAt, waiting[i].createdAt);
  }
}

TEST_F(PendingPairingStoreTest, CallbacksRunOutsideTheLocksAndMayCallBack) {
  int changes = 0;
  std::size_t seenWaiting = 0;
  store.onChange = [&] {
    ++changes;
    seenWaiting = store.waiting().size();  // would deadlock under the lock
  };
  pairing->onDevicesChange = [&] { seenWaiting = store.waiting().size(); };
  pairing->onPinChange = [&] {
    (void)pairing->pin();
    (void)pairing->pairedDevices();
  };

  const auto id = store.create("Pixel");
  EXPECT_EQ(seenWaiting, 1u);
  store.approve(id);
  EXPECT_EQ(seenWaiting, 0u);
  store.deny(Uuid::random());     // unknown: still notifies
  store.approve(Uuid::random());  // unknown: does not
  EXPECT_EQ(changes, 3);
}

}  // namespace
}  // namespace tavelin
