#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "TavelinKit/Dispatch/Executor.hpp"

namespace tavelin::testing {

// "The main thread" of a test: work waits until the test runs it.
class ManualExecutor final : public Executor {
 public:
  void post(std::function<void()> work) override {
    std::lock_guard guard(lock_);
    pending_.push_back(std::move(work));
  }

  // Runs everything posted so far, and whatever that posts in turn. Returns how many ran.
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

  std::size_t pendingCount() const {
    std::lock_guard guard(lock_);
    return pending_.size();
  }

 private:
  mutable std::mutex lock_;
  std::deque<std::function<void()>> pending_;
};

}  // namespace tavelin::testing
