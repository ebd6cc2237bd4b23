#pragma once

#include <chrono>
#include <functional>

namespace tavelin {

// The wall clock, injected wherever a rule depends on dates so tests can move time by hand.
using Clock = std::function<std::chrono::system_clock::time_point()>;

inline Clock systemClock() {
  return [] { return std::chrono::system_clock::now(); };
}

}  // namespace tavelin
