#pragma once

#include <functional>
#include <memory>
#include <string>

#include "TavelinKit/Dispatch/Executor.hpp"

namespace tavelin {

// A serial queue on a thread of its own, for work that blocks (a deliberate pause, waits on a
// desktop server) and must not hold up the shared pool. Work runs in the order posted. The
// destructor lets the running item finish, drops the rest and joins the thread (or, when the
// last owner goes on the thread itself, lets it end by itself).
class WorkerThread final : public Executor {
 public:
  explicit WorkerThread(std::string label);
  ~WorkerThread() override;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void post(std::function<void()> work) override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tavelin
