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
  struct State;

  RepeatingTimer() = default;
  explicit RepeatingTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}
  RepeatingTimer(RepeatingTimer&&) noexcept = default;
  RepeatingTimer& operator=(RepeatingTimer&& other) noexcept;
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;
  ~RepeatingTimer() { cancel(); }

  void cancel();
  bool isActive() const;

 private:
  std::shared_ptr<State> state_;
};

// Work items run one at a time, in the order submitted, on the process-wide thread pool: a
// labelled strand. Copies share the same queue.
class SerialQueue final : public Executor {
 public:
  using Duration = std::chrono::steady_clock::duration;

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

  struct Impl;

 private:
  friend struct SerialQueueAccess;
  std::shared_ptr<Impl> impl_;
};

}  // namespace tavelin
