#include "TavelinKit/Dispatch/WorkerThread.hpp"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tavelin {

struct WorkerThread::State {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::function<void()>> pending;  // guarded by lock
  bool stopping = false;                      // guarded by lock
  std::thread thread;
};

WorkerThread::WorkerThread(std::string label) : state_(std::make_shared<State>()) {
  state_->thread = std::thread([state = state_, label = std::move(label)] {
    ::pthread_setname_np(::pthread_self(), label.substr(0, 15).c_str());
    std::unique_lock guard(state->lock);
    for (;;) {
      state->wake.wait(guard, [&] { return state->stopping || !state->pending.empty(); });
      if (state->stopping) return;
      auto work = std::move(state->pending.front());
      state->pending.pop_front();
      guard.unlock();
      work();
      work = nullptr;  // whatever it held goes here, not under the lock
      guard.lock();
    }
  });
}

WorkerThread::~WorkerThread() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard guard(state_->lock);
    state_->stopping = true;
    dropped.swap(state_->pending);
  }
  state_->wake.notify_all();
  if (state_->thread.get_id() == std::this_thread::get_id()) {
    state_->thread.detach();  // ends after this item; the state lives on in its closure
  } else {
    state_->thread.join();
  }
}

void WorkerThread::post(std::function<void()> work) {
  {
    std::lock_guard guard(state_->lock);
    if (state_->stopping) return;
    state_->pending.push_back(std::move(work));
  }
  state_->wake.notify_one();
}

}  // namespace tavelin
