#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavelin {

// Where a service writes its log lines: a category ("Capture", "Input", …) and a message.
using HostLogSink = std::function<void(std::string_view category, std::string_view message)>;

// A sink for services made before the log they should write to: lines are kept (the first
// `kept` of them) until `connect`, then handed on. Thread-safe; lines reach the connected sink
// outside the lock.
class LateLogSink : public std::enable_shared_from_this<LateLogSink> {
 public:
  static constexpr std::size_t kept = 64;

  void connect(HostLogSink target) {
    std::vector<std::pair<std::string, std::string>> early;
    {
      std::lock_guard guard(lock_);
      target_ = target;
      early.swap(early_);
    }
    for (const auto& [category, message] : early) target(category, message);
  }

  void write(std::string_view category, std::string_view message) {
    HostLogSink target;
    {
      std::lock_guard guard(lock_);
      if (!target_) {
        if (early_.size() < kept) early_.emplace_back(category, message);
        return;
      }
      target = target_;
    }
    target(category, message);
  }

  // A plain sink that writes here; it keeps this alive.
  HostLogSink sink() {
    return [self = shared_from_this()](std::string_view category, std::string_view message) {
      self->write(category, message);
    };
  }

 private:
  std::mutex lock_;
  HostLogSink target_;                                      // guarded by lock_
  std::vector<std::pair<std::string, std::string>> early_;  // guarded by lock_
};

}  // namespace tavelin
