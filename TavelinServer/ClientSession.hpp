#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Foundation/Bytes.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Model/PictureDemand.hpp"
#include "TavelinKit/Model/ViewerRouting.hpp"
#include "TavelinKit/Pairing/PairedDevice.hpp"
#include "TavelinServer/PictureTiming.hpp"

namespace tavelin {

class Connection;

// One paired phone on an upgraded stream socket: who it is, which portal it views, and the
// delivery of pictures to it. At most one picture is on the wire and one waits; a newer one
// replaces the waiting one; the next leaves when the phone acknowledges the last, or 0.7 s after
// it at the next occasion. Delivery state lives on the connection's queue; the counters, the
// open flag and the portal may be read from any thread.
class ClientSession final : public ViewerSession,
                            public std::enable_shared_from_this<ClientSession> {
 public:
  static constexpr std::chrono::milliseconds ackWait{700};

  using Completion = std::function<void()>;

  ClientSession(const PairedDevice& device, std::weak_ptr<Connection> connection, SerialQueue queue,
                std::string address = {});

  const Date connectedAt;
  const std::string address;  // the phone's, as the server saw it

  std::optional<Uuid> currentPortalID() const override;
  void setCurrentPortalID(const std::optional<Uuid>& portal) override;
  std::optional<PortalView> view() const override;
  void setView(const std::optional<PortalView>& view) override;
  std::uint64_t framesSent() const;
  std::uint64_t framesDropped() const;
  bool isOpen() const;
  // From when this phone wants its next picture: never while one waits for it; at once when
  // the last was acknowledged; otherwise shortly before its acknowledgement is expected, so
  // the next is made in time for it (see PictureTiming). Never for a portal it does not
  // watch. From any thread.
  PictureDue pictureDue(const Uuid& portal) const;

  // From any thread: each only schedules work on the session's queue. A picture of `portal`
  // is dropped unless the phone still watches that portal when it is its turn to leave. One of
  // part of the portal (`shows`) leaves just after the message that says which part.
  void pushFrame(std::shared_ptr<const Bytes> jpeg, const Uuid& portal,
                 const NormalizedRect& shows = NormalizedRect::full);
  void sendText(std::string text) override;
  void close();

  // On the session's queue.
  void acknowledge();  // the phone showed the last picture
  void trySendPendingFrame();
  // Writes one frame: the header followed by the (shared, not copied) payload.
  void write(Bytes header, std::shared_ptr<const Bytes> payload, Completion completion = {});
  void finish();

  // Set once by the server before the session is used.
  std::function<void(const std::shared_ptr<ClientSession>&)> onClose;
  // When this phone wants its next picture changed (it acknowledged with nothing waiting, or
  // a picture left): the capture looks at `pictureDue` again.
  std::function<void(const Uuid& portal)> onReady;

 private:
  void tellReady();

  const std::weak_ptr<Connection> connection_;
  const SerialQueue queue_;

  mutable std::mutex statsLock_;
  std::optional<Uuid> currentPortal_;  // guarded by statsLock_
  std::optional<PortalView> view_;     // guarded by statsLock_
  bool closed_ = false;                // guarded by statsLock_
  std::uint64_t sent_ = 0;             // guarded by statsLock_
  std::uint64_t dropped_ = 0;          // guarded by statsLock_
  // Written only on queue_, read by pictureDue from the capture's thread.
  std::shared_ptr<const Bytes> pendingFrame_;           // guarded by statsLock_
  std::chrono::steady_clock::time_point pendingSince_;  // guarded by statsLock_
  bool isSending_ = false;                              // guarded by statsLock_
  PictureTiming timing_{ackWait};                       // guarded by statsLock_

  // Touched only on queue_.
  Uuid pendingPortal_;                                  // the portal of pendingFrame_
  NormalizedRect pendingShows_ = NormalizedRect::full;  // the part of it pendingFrame_ shows
};

}  // namespace tavelin
