#include "TavelinKit/Dispatch/SerialQueue.hpp"

#include <algorithm>
#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <future>
#include <thread>

#include "TavelinKit/Dispatch/DispatchPool.hpp"
#include "TavelinKit/Foundation/Crypto.hpp"

namespace tavelin {

asio::thread_pool& dispatchPool() {
  static asio::thread_pool pool(
      (initialiseCrypto(), std::max(4u, std::thread::hardware_concurrency())));
  return pool;
}

struct SerialQueue::Impl {
  std::string label;
  Strand strand;
};

struct SerialQueueAccess {
  static const Strand& strand(const SerialQueue& queue) { return queue.impl_->strand; }
};

Strand strandOf(const SerialQueue& queue) { return SerialQueueAccess::strand(queue); }

namespace {

// Ticks on a strand from one asio timer.
struct StrandTicks final : RepeatingTimer::Ticks, std::enable_shared_from_this<StrandTicks> {
  StrandTicks(Strand strand, SerialQueue::Duration interval, std::function<void()> tick)
      : strand(strand), timer(strand), interval(interval), tick(std::move(tick)) {}

  void cancel() noexcept override {
    cancelled.store(true);  // from here on no tick starts, whatever follows
    try {
      asio::post(strand, [self = shared_from_this()] { self->timer.cancel(); });
    } catch (...) {
      // Out of memory: the timer then fires once more, sees the flag and ends by itself.
    }
  }
  bool isActive() const override { return !cancelled.load(); }

  Strand strand;
  asio::steady_timer timer;  // touched only on the strand
  SerialQueue::Duration interval;
  std::function<void()> tick;
  std::atomic<bool> cancelled{false};

  static void arm(const std::shared_ptr<StrandTicks>& state,
                  std::chrono::steady_clock::time_point deadline) {
    state->timer.expires_at(deadline);
    state->timer.async_wait(
        asio::bind_executor(state->strand, [state, deadline](const std::error_code& error) {
          if (error || state->cancelled.load()) return;
          state->tick();
          auto next = deadline + state->interval;
          const auto now = std::chrono::steady_clock::now();
          if (next <= now) next = now + state->interval;  // skip what was missed
          if (!state->cancelled.load()) arm(state, next);
        }));
  }
};

}  // namespace

RepeatingTimer& RepeatingTimer::operator=(RepeatingTimer&& other) noexcept {
  if (this != &other) {
    cancel();
    ticks_ = std::move(other.ticks_);
  }
  return *this;
}

void RepeatingTimer::cancel() noexcept {
  if (auto ticks = std::exchange(ticks_, nullptr)) ticks->cancel();
}

SerialQueue::SerialQueue(std::string label)
    : impl_(std::make_shared<Impl>(Impl{std::move(label), asio::make_strand(dispatchPool())})) {}

const std::string& SerialQueue::label() const { return impl_->label; }

void SerialQueue::async(std::function<void()> work) const {
  asio::post(impl_->strand, std::move(work));
}

void SerialQueue::asyncAfter(Duration delay, std::function<void()> work) const {
  auto timer = std::make_shared<asio::steady_timer>(impl_->strand, delay);
  timer->async_wait(asio::bind_executor(
      impl_->strand, [timer, work = std::move(work)](const std::error_code& error) {
        if (!error) work();
      }));
}

void SerialQueue::sync(const std::function<void()>& work) const {
  if (isCurrent()) {
    work();
    return;
  }
  std::promise<void> done;
  asio::post(impl_->strand, [&] {
    try {
      work();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  done.get_future().get();
}

RepeatingTimer SerialQueue::scheduleRepeating(Duration interval, std::function<void()> tick) const {
  auto state = std::make_shared<StrandTicks>(impl_->strand, interval, std::move(tick));
  asio::post(impl_->strand, [state] {
    StrandTicks::arm(state, std::chrono::steady_clock::now() + state->interval);
  });
  return RepeatingTimer(state);
}

bool SerialQueue::isCurrent() const { return impl_->strand.running_in_this_thread(); }

}  // namespace tavelin
