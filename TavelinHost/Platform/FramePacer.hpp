#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

namespace tavelin {

// Paces pictures to a rate without a fixed cadence: a change is taken the moment it is seen
// unless pictures have run ahead of the rate. A fixed cadence stands up to a whole interval
// late and, against content of the same rate, drifts across its frames, taking two of them
// as one. A change may come up to half an interval early (the desktop's own timers jitter)
// and is still taken at once; over any stretch the rate stays at most one picture per
// interval, plus that half.
class FramePacer {
 public:
  using Clock = std::chrono::steady_clock;

  Clock::time_point nextTurn(Clock::duration interval) const {
    return due_ ? *due_ - interval / 2 : Clock::time_point::min();
  }
  bool mayTake(Clock::time_point now, Clock::duration interval) const {
    return now >= nextTurn(interval);
  }
  void took(Clock::time_point now, Clock::duration interval) {
    due_ = std::max(due_.value_or(now), now) + interval;
  }

 private:
  std::optional<Clock::time_point> due_;  // when the next picture is due at the rate
};

}  // namespace tavelin
