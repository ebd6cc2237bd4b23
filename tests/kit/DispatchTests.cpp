#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsWorkOneAtATimeInSubmissionOrder) {
  SerialQueue queue("tavelin.test.order");
  std::vector<int> order;  // touched only on the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 500; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.sync([] {});
  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncReturnsValuesRunsInPlaceOnItsOwnQueueAndPassesExceptions) {
  SerialQueue queue("tavelin.test.sync");
  EXPECT_EQ(queue.sync([] { return 42; }), 42);
  EXPECT_FALSE(queue.isCurrent());
  bool nestedRan = false;
  queue.sync([&] {
    EXPECT_TRUE(queue.isCurrent());
    queue.sync([&] { nestedRan = true; });  // would never return if it waited
  });
  EXPECT_TRUE(nestedRan);
  EXPECT_THROW(queue.sync([]() -> void { throw std::runtime_error("boom"); }), std::runtime_error);
  EXPECT_EQ(queue.label(), "tavelin.test.sync");
}

TEST(SerialQueue, AsyncAfterWaitsAtLeastTheDelay) {
  SerialQueue queue("tavelin.test.after");
  std::promise<std::chrono::steady_clock::time_point> fired;
  const auto start = std::chrono::steady_clock::now();
  queue.asyncAfter(30ms, [&] { fired.set_value(std::chrono::steady_clock::now()); });
  auto future = fired.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_GE(future.get() - start, 30ms);
}

TEST(SerialQueue, RepeatingTimerTicksUntilCancelledAndNeverAfter) {
  SerialQueue queue("tavelin.test.repeat");
  std::atomic<int> ticks{0};
  std::promise<void> three;
  RepeatingTimer timer = queue.scheduleRepeating(5ms, [&] {
    if (++ticks == 3) three.set_value();
  });
  EXPECT_TRUE(timer.isActive());
  ASSERT_EQ(three.get_future().wait_for(5s), std::future_status::ready);
  queue.sync([&] { timer.cancel(); });
  EXPECT_FALSE(timer.isActive());
  const int atCancel = ticks.load();
  std::this_thread::sleep_for(30ms);  // several intervals: a tick now would be a bug
  queue.sync([] {});
  EXPECT_EQ(ticks.load(), atCancel);
}

TEST(SerialQueue, DroppingTheTimerHandleStopsIt) {
  SerialQueue queue("tavelin.test.drop");
  std::atomic<int> ticks{0};
  {
    RepeatingTimer timer = queue.scheduleRepeating(1ms, [&] { ++ticks; });
    RepeatingTimer moved = std::move(timer);
    EXPECT_FALSE(timer.isActive());  // NOLINT(bugprone-use-after-move): moved-from is inert
    EXPECT_TRUE(moved.isActive());
  }
  queue.sync([] {});
  const int atDrop = ticks.load();
  std::this_thread::sleep_for(20ms);
  queue.sync([] {});
  EXPECT_EQ(ticks.load(), atDrop);
}

TEST(SerialQueue, ManyQueuesShareThePoolWithoutLosingWork) {
  std::vector<SerialQueue> queues;
  for (int i = 0; i < 16; ++i) queues.emplace_back("tavelin.test.many");
  std::atomic<int> total{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < 250; ++i)
        queues[static_cast<std::size_t>(i % 16)].async([&] { ++total; });
    });
  }
  for (auto& producer : producers) producer.join();
  for (auto& queue : queues) queue.sync([] {});
  EXPECT_EQ(total.load(), 1000);
}

}  // namespace
}  // namespace tavelin
