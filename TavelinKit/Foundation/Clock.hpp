#pragma once

#include <chrono>
#include <functional>

namespace tavelin {

// The wall clock, injected wherever a rule depends on dates so tests can move time by hand.
using Clock = std::function<std::chrono::system_clock::time_point()>;

inline Clock systemClock() {
  return [] { return std::chrono::system_clock::now(); };
}

// Seconds from `earlier` to `later`, without the overflow a nanosecond difference of far-apart
// dates (say, one read from a damaged file) would have.
inline double secondsBetween(std::chrono::system_clock::time_point earlier,
                             std::chrono::system_clock::time_point later) {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(later.time_since_epoch()).count() -
         std::chrono::duration_cast<Seconds>(earlier.time_since_epoch()).count();
}

}  // namespace tavelin
