#pragma once

#include <mutex>
#include <optional>
#include <system_error>

#include "TavelinHost/Platform/Wayland/PipeWireNode.hpp"

namespace tavelin::testing {

// The desktop's side of a PipeWire picture stream, without a desktop: open hands out the node
// the test set (or refuses), and the test sees how often it was opened and closed.
class FakeStreamProvider final : public wayland::StreamProvider {
 public:
  void offer(std::optional<wayland::PipeWireNode> node) {
    std::lock_guard guard(lock_);
    node_ = node;
  }

  std::optional<wayland::PipeWireNode> open(const ContentFilter&, std::error_code& error) override {
    std::lock_guard guard(lock_);
    ++opens_;
    if (!node_) error = std::make_error_code(std::errc::permission_denied);
    return node_;
  }
  void close() override {
    std::lock_guard guard(lock_);
    ++closes_;
  }

  // What the desktop does when it ends the session by itself.
  void endByItself() {
    if (onClosed) onClosed(std::make_error_code(std::errc::connection_reset));
  }

  int opens() {
    std::lock_guard guard(lock_);
    return opens_;
  }
  int closes() {
    std::lock_guard guard(lock_);
    return closes_;
  }

 private:
  std::mutex lock_;
  std::optional<wayland::PipeWireNode> node_;  // guarded by lock_
  int opens_ = 0;                              // guarded by lock_
  int closes_ = 0;                             // guarded by lock_
};

}  // namespace tavelin::testing
