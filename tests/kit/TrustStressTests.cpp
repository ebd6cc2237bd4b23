#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "TavelinKit/Pairing/DeviceHistoryStore.hpp"
#include "TavelinKit/Pairing/PendingPairingStore.hpp"
#include "TavelinKit/Pairing/TicketStore.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

// Several threads pair, validate, revoke, approve, trade tickets and record history at once,
// with the callbacks calling back in. Bounded by count, not time; a ThreadSanitizer build runs
// it too. Afterwards every device is either present or was revoked, and no event is lost.
TEST(TrustStress, ConcurrentUseKeepsEveryServiceConsistent) {
  testing::TemporaryDirectory dir;
  auto pairing = std::make_shared<PairingService>(dir / "devices.json");
  PendingPairingStore approvals(pairing);
  TicketStore tickets;
  DeviceHistoryStore history(dir / "device-history.json");

  std::atomic<int> pinChanges{0};
  pairing->onPinChange = [&] {
    ++pinChanges;
    (void)pairing->pin();
  };
  pairing->onDevicesChange = [&] { (void)pairing->pairedDevices(); };
  approvals.onChange = [&] { (void)approvals.waiting(); };

  std::mutex lock;
  std::vector<IssuedToken> issued;  // guarded by lock
  std::vector<Uuid> revoked;        // guarded by lock
  std::atomic<int> historyEvents{0};

  constexpr int rounds = 12;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < rounds; ++round) {
        IssuedToken token;
        if (t % 2 == 0) {
          // Another thread may pair between reading the PIN and using it.
          auto result = pairing->pair(pairing->pin(), "phone " + std::to_string(t));
          if (!std::holds_alternative<IssuedToken>(result)) continue;
          token = std::get<IssuedToken>(std::move(result));
        } else {
          const auto request = approvals.create("asked " + std::to_string(t));
          approvals.approve(request);
          const auto status = approvals.status(request);
          if (status.kind != PairStatus::Kind::approved) continue;
          token.token = status.approval.token;
          token.device = *pairing->device(*Uuid::parse(status.approval.deviceId));
        }
        history.record(token.device.id, DeviceEvent::Kind::paired,
                       std::chrono::system_clock::now());
        ++historyEvents;
        EXPECT_TRUE(pairing->validate(token.token));
        for (int i = 0; i < 3; ++i) {
          EXPECT_EQ(tickets.consume(tickets.issue(token.device.id)), token.device.id);
        }
        {
          std::lock_guard guard(lock);
          issued.push_back(token);
        }
        if (round % 3 == 0) {
          pairing->revoke(token.device.id);
          std::lock_guard guard(lock);
          revoked.push_back(token.device.id);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  ASSERT_FALSE(issued.empty());
  const auto devices = pairing->pairedDevices();
  std::size_t present = 0;
  for (const auto& token : issued) {
    const bool wasRevoked =
        std::find(revoked.begin(), revoked.end(), token.device.id) != revoked.end();
    const bool isPresent = pairing->device(token.device.id).has_value();
    EXPECT_NE(wasRevoked, isPresent);
    EXPECT_EQ(pairing->validate(token.token).has_value(), isPresent);
    present += isPresent ? 1 : 0;
    EXPECT_EQ(history.events(token.device.id).size(), 1u);
  }
  EXPECT_EQ(devices.size(), present);
  EXPECT_EQ(PairingService(dir / "devices.json").pairedDevices().size(), present);
  EXPECT_EQ(static_cast<std::size_t>(historyEvents.load()), issued.size());
  EXPECT_GE(pinChanges.load(), static_cast<int>(issued.size()));
  EXPECT_EQ(tickets.liveCount(), 0u);
}

}  // namespace
}  // namespace tavelin
