#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "TavelinKit/Dispatch/Executor.hpp"

namespace tavelin {

// A handle on work repeating on a queue. Cancelling (or dropping the handle) guarantees that no
// tick starts afterwards; a tick already running on the queue finishes.
class RepeatingTimer {
 public:
  // What keeps the ticks coming; each kind of queue has its own.
  class Ticks {
   public:
    virtual ~Ticks() = default;
    virtual void cancel() noexcept = 0;
    virtual bool isActive() const = 0;
  };

  RepeatingTimer() = default;
  explicit RepeatingTimer(std::shared_ptr<Ticks> ticks) : ticks_(std::move(ticks)) {}
  RepeatingTimer(RepeatingTimer&&) noexcept = default;
  RepeatingTimer& operator=(RepeatingTimer&& other) noexcept;
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;
  ~RepeatingTimer() { cancel(); }

  void cancel() noexcept;
  bool isActive() const { return ticks_ && ticks_->isActive(); }

 private:
  std::shared_ptr<Ticks> ticks_;
};

// A serial executor that can also repeat work on itself: what an engine with a watchdog needs.
// Tests drive one by hand with a clock of their own.
class TimerQueue : public Executor {
 public:
  using Duration = std::chrono::steady_clock::duration;
  // `tick` every `interval`, the first one after one interval.
  virtual RepeatingTimer repeat(Duration interval, std::function<void()> tick) = 0;
};

// Work items run one at a time, in the order submitted, on the process-wide thread pool: a
// labelled strand. Copies share the same queue.
class SerialQueue final : public TimerQueue {
 public:
  explicit SerialQueue(std::string label);

  const std::string& label() const;

  void async(std::function<void()> work) const;
  void asyncAfter(Duration delay, std::function<void()> work) const;

  // Runs the work on the queue and waits for it. Called from the queue itself it runs the work
  // in place, since waiting there could never end.
  void sync(const std::function<void()>& work) const;

  template <typename F>
  requires(!std::is_void_v<std::invoke_result_t<F&>>) auto sync(F&& work) const {
    std::optional<std::invoke_result_t<F&>> result;
    sync(std::function<void()>([&] { result.emplace(work()); }));
    return std::move(*result);
  }

  // `tick` every `interval`, the first one after one interval. Missed ticks are not made up.
  RepeatingTimer scheduleRepeating(Duration interval, std::function<void()> tick) const;

  // Whether the caller is running on this queue right now.
  bool isCurrent() const;

  void post(std::function<void()> work) override { async(std::move(work)); }
  RepeatingTimer repeat(Duration interval, std::function<void()> tick) override {
    return scheduleRepeating(interval, std::move(tick));
  }

  struct Impl;

 private:
  friend struct SerialQueueAccess;
  std::shared_ptr<Impl> impl_;
};

}  // namespace tavelin
