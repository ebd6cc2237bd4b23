#pragma once

#include <QObject>
#include <memory>

#include "TavelinKit/Dispatch/Executor.hpp"

namespace tavelin {

// The application's main (Qt) thread as an executor: work posted from any thread runs there,
// in order, through the event loop. Work posted after this object is gone is dropped, and so is
// work still queued when it goes (Qt discards the events of a deleted receiver). Objects that
// live exactly as long as it may therefore post work that uses `this`.
class MainThread final : public QObject {
 public:
  MainThread();
  ~MainThread() override;
  MainThread(const MainThread&) = delete;
  MainThread& operator=(const MainThread&) = delete;

  const std::shared_ptr<Executor>& executor() const { return executor_; }

  struct Gate;

 protected:
  bool event(QEvent* event) override;

 private:
  std::shared_ptr<Gate> gate_;
  std::shared_ptr<Executor> executor_;
};

}  // namespace tavelin
