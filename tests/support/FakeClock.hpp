#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"

namespace tavelin::testing {

// A wall clock that moves only when the test says so. Shared so a service can hold its Clock
// while the test advances it.
class FakeClock {
 public:
  explicit FakeClock(Date start) : state_(std::make_shared<State>(start)) {}

  Date now() const {
    std::lock_guard guard(state_->lock);
    return state_->now;
  }
  void advance(std::chrono::system_clock::duration by) {
    std::lock_guard guard(state_->lock);
    state_->now += by;
  }
  void set(Date to) {
    std::lock_guard guard(state_->lock);
    state_->now = to;
  }
  Clock clock() const {
    return [state = state_] {
      std::lock_guard guard(state->lock);
      return state->now;
    };
  }

 private:
  struct State {
    explicit State(Date start) : now(start) {}
    mutable std::mutex lock;
    Date now;
  };
  std::shared_ptr<State> state_;
};

// 2026-03-01T09:15:02Z and friends, for readable tests.
inline Date utc(int year, unsigned month, unsigned day, int hour = 0, int minute = 0,
                int second = 0) {
  using namespace std::chrono;
  return sys_days{year_month_day{std::chrono::year{year}, std::chrono::month{month},
                                 std::chrono::day{day}}} +
         hours{hour} + minutes{minute} + seconds{second};
}

}  // namespace tavelin::testing
