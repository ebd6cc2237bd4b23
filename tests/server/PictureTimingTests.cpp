// When a phone wants its next picture, on a clock the test sets: the round trip is learned
// from the acks, and the lead from pictures that came too late or waited too long.
#include <gtest/gtest.h>

#include "TavelinServer/PictureTiming.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using Clock = PictureTiming::Clock;

constexpr auto ackWait = 700ms;

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

TEST(PictureTimingTest, TheNextPictureIsWantedItsMakingTimeBeforeTheAckIsExpected) {
  PictureTiming timing(ackWait);
  const Clock::time_point t0{1s};
  EXPECT_EQ(timing.due(), Clock::time_point{});  // nothing sent yet: at once

  // First picture: no round trip known, so the next is wanted when the ack is overdue.
  timing.sent(t0);
  EXPECT_EQ(timing.due(), t0 + ackWait);
  // Acked after 12 ms with nothing waiting: wanted at once; the picture comes 6 ms later,
  // which is what making one takes.
  timing.acknowledged(t0 + 12ms, std::nullopt);
  EXPECT_EQ(timing.due(), Clock::time_point{});
  EXPECT_EQ(timing.roundTrip(), 12ms);
  timing.arrived(t0 + 18ms);
  EXPECT_EQ(timing.lead(), 1500us);

  // Round after round of the same timings, the lead grows to the making time, and the next
  // picture is asked for so that it is ready as the ack arrives.
  Clock::time_point at = t0 + 18ms;
  for (int round = 0; round < 40; ++round) {
    timing.sent(at);
    const auto due = timing.due();
    ASSERT_GT(due, at);
    const auto ready = due + 6ms;
    const auto ack = at + 12ms;
    if (ready <= ack) {
      timing.arrived(ready);  // waits for the ack
      timing.acknowledged(ack, ready);
      at = ack;
    } else {
      timing.acknowledged(ack, std::nullopt);
      timing.arrived(ready);  // came after it
      at = ready;
    }
  }
  EXPECT_EQ(timing.roundTrip(), 12ms);
  EXPECT_NEAR(milliseconds(timing.lead()), 6.0, 0.5);
  timing.sent(at);
  EXPECT_NEAR(milliseconds(timing.due() - at), 6.0, 0.5);
}

TEST(PictureTimingTest, LongWaitsAndSlowPhonesStayWithinBounds) {
  PictureTiming timing(ackWait);
  const Clock::time_point t0{1s};
  timing.sent(t0);
  timing.acknowledged(t0 + 20ms, std::nullopt);
  // A still screen: the next picture comes seconds after the ack. The lead grows by a step
  // bounded by the round trip, and never past it: the next is never wanted before the last left.
  timing.arrived(t0 + 5s);
  EXPECT_LE(timing.lead(), 20ms);
  EXPECT_GT(timing.lead(), 0ms);
  for (int i = 0; i < 10; ++i) {
    timing.sent(t0 + 6s);
    timing.acknowledged(t0 + 6s + 20ms, std::nullopt);
    timing.arrived(t0 + 9s);
  }
  EXPECT_EQ(timing.lead(), 20ms);
  timing.sent(t0 + 10s);
  EXPECT_GE(timing.due(), t0 + 10s);

  // Pictures that wait long for their acks bring the lead down to nothing.
  for (int i = 0; i < 20; ++i) {
    const auto sent = t0 + 20s + i * 1s;
    timing.sent(sent);
    timing.arrived(sent + 1ms);
    timing.acknowledged(sent + 20ms, sent + 1ms);
  }
  EXPECT_EQ(timing.lead(), 0ms);

  // A phone whose acks take longer than the wait is asked at the overdue time at the latest.
  for (int i = 0; i < 4; ++i) {
    timing.sent(t0 + 60s + i * 3s);
    timing.acknowledged(t0 + 60s + i * 3s + 2s, std::nullopt);
  }
  EXPECT_GT(timing.roundTrip(), ackWait);
  timing.sent(t0 + 70s);
  EXPECT_EQ(timing.due(), t0 + 70s + ackWait);
  // Until then the next picture waits; acknowledged, it leaves at once.
  EXPECT_FALSE(timing.mayRelease(t0 + 70s + ackWait - 1ms));
  EXPECT_TRUE(timing.mayRelease(t0 + 70s + ackWait));
  timing.acknowledged(t0 + 70s + 10ms, std::nullopt);
  EXPECT_TRUE(timing.mayRelease(t0 + 70s + 10ms));
}

}  // namespace
}  // namespace tavelin
