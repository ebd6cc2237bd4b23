#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Model/PortalCoordinateMapper.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

namespace tavelin {

// One portal's input as the routing sees it: what its phones send, mapped through the portal's
// current mapper and replayed in arrival order.
class PortalInput {
 public:
  virtual ~PortalInput() = default;

  virtual void setMapper(std::shared_ptr<const PortalCoordinateMapper> mapper) = 0;
  // From any thread; returns at once. `from` is the phone's session.
  virtual void enqueue(const InputMessage& message, const std::optional<Uuid>& from) = 0;
  // The phone left this portal (or closed): whatever it still holds down is let go.
  virtual void endSession(const Uuid& session) = 0;
};

// Makes the input of a portal whose runtime starts.
using PortalInputMaking = std::function<std::shared_ptr<PortalInput>()>;

}  // namespace tavelin
