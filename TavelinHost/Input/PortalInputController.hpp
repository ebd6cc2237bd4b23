#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "TavelinHost/Input/InputService.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Model/PortalCoordinateMapper.hpp"
#include "TavelinKit/Model/PortalInput.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

namespace tavelin {

// One portal's input: messages from its phones are handled one at a time, in arrival order, on
// the portal's own queue, mapped to screen points, and replayed through the portal's input
// service, raising its window first where a gesture needs it. Always held by a shared_ptr.
class PortalInputController final : public PortalInput,
                                    public std::enable_shared_from_this<PortalInputController> {
 public:
  // Above this many outstanding messages, pointer moves are dropped at the door.
  static constexpr int maxPendingBeforeShedding = 64;
  static constexpr std::chrono::milliseconds pauseAfterRaise{50};

  // `queue` runs the handling; a thread of its own ("tavelin.input") unless a test gives one.
  PortalInputController(std::shared_ptr<InputService> inputService, HostLogSink log,
                        std::shared_ptr<Executor> queue = nullptr);
  ~PortalInputController() override;
  PortalInputController(const PortalInputController&) = delete;
  PortalInputController& operator=(const PortalInputController&) = delete;

  // Each portal's controller over its own copy of the input service.
  static PortalInputMaking maker(std::shared_ptr<InputService> inputService, HostLogSink log);

  void setMapper(std::shared_ptr<const PortalCoordinateMapper> mapper) override;
  // From any thread; returns at once. `from` is the phone's session.
  void enqueue(const InputMessage& message,
               const std::optional<Uuid>& from = std::nullopt) override;
  // After what the phone sent before, whatever it still holds down is let go.
  void endSession(const Uuid& session) override;

  int pendingCount() const;

  // Nothing in the product turns this off; a portal may one day.
  bool activateOnInteraction = true;

 private:
  void handle(const InputMessage& message, const std::optional<Uuid>& from);
  void raiseBeforeGesture(const PortalCoordinateMapper& mapper);
  void endStroke();

  const std::shared_ptr<InputService> inputService_;
  const HostLogSink log_;
  const std::shared_ptr<Executor> queue_;
  mutable std::mutex lock_;
  std::shared_ptr<const PortalCoordinateMapper> mapper_;  // guarded by lock_
  int pendingCount_ = 0;                                  // guarded by lock_
  // The phone whose stroke holds a button now, and the modifiers its stroke holds (from
  // pointerdown to pointerup); touched only on queue_.
  std::optional<Uuid> strokeOwner_;
  Modifiers strokeModifiers_ = 0;
};

}  // namespace tavelin
