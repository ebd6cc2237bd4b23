#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "TavelinKit/Pairing/TicketStore.hpp"
#include "tests/support/FakeClock.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

class TicketStoreTest : public ::testing::Test {
 protected:
  testing::FakeClock clock{testing::utc(2026, 3, 1, 9, 0, 0)};
  TicketStore store{clock.clock()};
  Uuid device = Uuid::random();
};

TEST_F(TicketStoreTest, TicketsAreGoodForThirtySecondsAndOneUse) {
  const auto atThirty = store.issue(device);
  const auto atThirtyOne = store.issue(device);
  const auto twice = store.issue(device);
  EXPECT_EQ(store.consume(twice), device);
  EXPECT_EQ(store.consume(twice), std::nullopt);

  clock.advance(30s);
  EXPECT_EQ(store.consume(atThirty), device);
  clock.advance(1s);
  EXPECT_EQ(store.consume(atThirtyOne), std::nullopt);
  EXPECT_EQ(store.liveCount(), 0u);
}

TEST_F(TicketStoreTest, BadTicketsGiveNothingAndLeaveLiveOnesAlone) {
  const auto live = store.issue(device);
  const auto other = store.issue(device);
  EXPECT_EQ(store.consume(std::nullopt), std::nullopt);
  EXPECT_EQ(store.consume(""), std::nullopt);
  // One character off (a different one: a random ticket may start with any).
  EXPECT_EQ(store.consume((live[0] == 'x' ? "y" : "x") + live.substr(1)), std::nullopt);
  EXPECT_EQ(store.consume(live), device);
  EXPECT_EQ(store.consume(other), device);  // tickets of one device are independent
}

TEST_F(TicketStoreTest, TheOldestTicketMakesRoomAtCapacity) {
  std::vector<std::string> tickets;
  std::set<std::string> distinct;
  const std::regex urlSafe("[A-Za-z0-9_-]{43}");
  for (std::size_t i = 0; i <= TicketStore::capacity; ++i) {
    tickets.push_back(store.issue(device));
    ASSERT_TRUE(std::regex_match(tickets.back(), urlSafe));
    distinct.insert(tickets.back());
    clock.advance(100ms);
  }
  EXPECT_EQ(distinct.size(), 129u);
  EXPECT_EQ(store.liveCount(), 128u);
  EXPECT_EQ(store.consume(tickets[0]), std::nullopt);
  EXPECT_EQ(store.consume(tickets[1]), device);
  EXPECT_EQ(store.consume(tickets[128]), device);
}

}  // namespace
}  // namespace tavelin
