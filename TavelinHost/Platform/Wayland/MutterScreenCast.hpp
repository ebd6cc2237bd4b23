#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "TavelinHost/Platform/Wayland/PipeWireNode.hpp"

namespace tavelin::wayland {

class MutterDisplays;
class SessionBus;

// How a Mutter screen cast shows the pointer.
enum class CursorMode : std::uint32_t { hidden = 0, embedded = 1, metadata = 2 };

// One of Mutter's screen-cast sessions with one monitor's stream in it. Opened and closed on the
// calling thread (blocking D-Bus calls); Mutter's signals arrive on the bus thread.
class MutterScreenCast final : public StreamProvider {
 public:
  MutterScreenCast(std::shared_ptr<SessionBus> bus, std::shared_ptr<MutterDisplays> displays,
                   CursorMode cursor);
  ~MutterScreenCast() override;

  // The stream of the display a DisplayContent names.
  std::optional<PipeWireNode> open(const ContentFilter& filter, std::error_code& error) override;
  void close() override;

 private:
  std::optional<PipeWireNode> record(const std::string& connector, std::error_code& error);

  const std::shared_ptr<SessionBus> bus_;
  const std::shared_ptr<MutterDisplays> displays_;
  const CursorMode cursor_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::string session_;                // guarded by lock_
  std::optional<std::uint32_t> node_;  // guarded by lock_: set by PipeWireStreamAdded
  bool ended_ = false;                 // guarded by lock_: Mutter closed the session
  std::shared_ptr<void> streamAdded_, sessionClosed_;
};

}  // namespace tavelin::wayland
