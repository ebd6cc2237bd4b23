#include "TavelinHost/App/MainThread.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <functional>
#include <mutex>

namespace tavelin {

// Posts reach the receiver while it exists; it closes the gate when it goes.
struct MainThread::Gate {
  std::mutex lock;
  QObject* target = nullptr;  // guarded by lock
};

namespace {

// Work carried to the main thread inside an event: made on one thread, run and destroyed on the
// other, with Qt's event queue between them.
class WorkEvent final : public QEvent {
 public:
  static QEvent::Type type() {
    static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
    return registered;
  }
  explicit WorkEvent(std::function<void()> work) : QEvent(type()), work_(std::move(work)) {}
  void run() { work_(); }

 private:
  std::function<void()> work_;
};

class QtExecutor final : public Executor {
 public:
  explicit QtExecutor(std::shared_ptr<MainThread::Gate> gate) : gate_(std::move(gate)) {}
  void post(std::function<void()> work) override {
    std::lock_guard guard(gate_->lock);
    if (gate_->target) QCoreApplication::postEvent(gate_->target, new WorkEvent(std::move(work)));
  }

 private:
  std::shared_ptr<MainThread::Gate> gate_;
};

}  // namespace

MainThread::MainThread() : gate_(std::make_shared<Gate>()) {
  gate_->target = this;
  executor_ = std::make_shared<QtExecutor>(gate_);
}

MainThread::~MainThread() {
  std::lock_guard guard(gate_->lock);
  gate_->target = nullptr;
}

bool MainThread::event(QEvent* event) {
  if (event->type() != WorkEvent::type()) return QObject::event(event);
  static_cast<WorkEvent*>(event)->run();
  return true;
}

}  // namespace tavelin
