#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"

namespace tavelin::testing {

// A serial queue whose work and timers run only when the test says so, on the test's thread,
// against a clock that moves only by advance(). Work may be posted from any thread.
class ManualTimerQueue final : public TimerQueue {
 public:
  void post(std::function<void()> work) override {
    std::lock_guard guard(lock_);
    pending_.push_back(std::move(work));
  }

  RepeatingTimer repeat(Duration interval, std::function<void()> tick) override {
    auto ticks = std::make_shared<Ticks>();
    ticks->interval = interval;
    ticks->due = now_ + interval;
    ticks->tick = std::move(tick);
    std::lock_guard guard(lock_);
    timers_.push_back(ticks);
    return RepeatingTimer(ticks);
  }

  // Runs everything posted so far and whatever that posts in turn. Returns how many ran.
  int runAll() {
    int ran = 0;
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard guard(lock_);
        if (pending_.empty()) return ran;
        work = std::move(pending_.front());
        pending_.pop_front();
      }
      work();
      ++ran;
    }
  }

  // Moves the clock on, firing every tick that falls due on the way, each followed by the work
  // it caused.
  void advance(Duration by) {
    runAll();
    const Duration until = now_ + by;
    for (;;) {
      std::shared_ptr<Ticks> next;
      {
        std::lock_guard guard(lock_);
        std::erase_if(timers_, [](const auto& ticks) { return !ticks->isActive(); });
        for (const auto& ticks : timers_) {
          if (ticks->due <= until && (!next || ticks->due < next->due)) next = ticks;
        }
      }
      if (!next) break;
      now_ = next->due;
      next->due += next->interval;
      next->tick();
      runAll();
    }
    now_ = until;
  }

  int activeTimers() {
    std::lock_guard guard(lock_);
    return static_cast<int>(std::count_if(timers_.begin(), timers_.end(),
                                          [](const auto& ticks) { return ticks->isActive(); }));
  }

 private:
  struct Ticks final : RepeatingTimer::Ticks {
    void cancel() noexcept override { cancelled = true; }
    bool isActive() const override { return !cancelled; }
    Duration interval{};
    Duration due{};
    std::function<void()> tick;
    bool cancelled = false;
  };

  std::mutex lock_;
  std::deque<std::function<void()>> pending_;
  std::vector<std::shared_ptr<Ticks>> timers_;
  Duration now_{};  // the test's thread only
};

}  // namespace tavelin::testing
