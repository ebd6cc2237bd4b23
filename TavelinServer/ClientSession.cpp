#include "TavelinServer/ClientSession.hpp"

#include "TavelinServer/Connection.hpp"
#include "TavelinServer/WebSocketFrame.hpp"

namespace tavelin {

ClientSession::ClientSession(const PairedDevice& device, std::weak_ptr<Connection> connection,
                             SerialQueue queue, std::string peer)
    : ViewerSession(Uuid::random(), device.id, device.name),
      connectedAt(std::chrono::system_clock::now()),
      address(std::move(peer)),
      connection_(std::move(connection)),
      queue_(std::move(queue)) {}

std::optional<Uuid> ClientSession::currentPortalID() const {
  std::lock_guard guard(statsLock_);
  return currentPortal_;
}

void ClientSession::setCurrentPortalID(const std::optional<Uuid>& portal) {
  std::lock_guard guard(statsLock_);
  currentPortal_ = portal;
}

std::optional<PortalView> ClientSession::view() const {
  std::lock_guard guard(statsLock_);
  return view_;
}

void ClientSession::setView(const std::optional<PortalView>& view) {
  std::lock_guard guard(statsLock_);
  view_ = view;
}

std::uint64_t ClientSession::framesSent() const {
  std::lock_guard guard(statsLock_);
  return sent_;
}

std::uint64_t ClientSession::framesDropped() const {
  std::lock_guard guard(statsLock_);
  return dropped_;
}

bool ClientSession::isOpen() const {
  std::lock_guard guard(statsLock_);
  return !closed_;
}

PictureDue ClientSession::pictureDue(const Uuid& portal) const {
  std::lock_guard guard(statsLock_);
  if (closed_ || pendingFrame_ || currentPortal_ != portal) return std::nullopt;
  return timing_.due();
}

void ClientSession::pushFrame(std::shared_ptr<const Bytes> jpeg, const Uuid& portal,
                              const NormalizedRect& shows) {
  queue_.async([weak = weak_from_this(), jpeg = std::move(jpeg), portal, shows]() mutable {
    const auto self = weak.lock();
    if (!self || !self->isOpen() || self->currentPortalID() != portal) return;
    {
      std::lock_guard guard(self->statsLock_);
      const auto now = std::chrono::steady_clock::now();
      if (self->pendingFrame_) ++self->dropped_;
      self->pendingFrame_ = std::move(jpeg);
      self->pendingSince_ = now;
      self->timing_.arrived(now);
    }
    self->pendingPortal_ = portal;
    self->pendingShows_ = shows;
    self->trySendPendingFrame();
  });
}

void ClientSession::sendText(std::string text) {
  queue_.async([weak = weak_from_this(), text = std::move(text)] {
    const auto self = weak.lock();
    if (!self || !self->isOpen()) return;
    auto payload = std::make_shared<const Bytes>(toBytes(text));
    self->write(WebSocketFrame::encodeHeader(WebSocketOpcode::text, payload->size()), payload);
  });
}

void ClientSession::close() {
  queue_.async([weak = weak_from_this()] {
    if (const auto self = weak.lock(); self && self->isOpen()) self->finish();
  });
}

void ClientSession::acknowledge() {
  bool waited = false;
  {
    std::lock_guard guard(statsLock_);
    waited = pendingFrame_ != nullptr;
    timing_.acknowledged(std::chrono::steady_clock::now(),
                         waited ? std::optional(pendingSince_) : std::nullopt);
  }
  trySendPendingFrame();
  // Nothing left to send: the capture takes the next change now rather than at its leisure.
  // (A picture that waited left just now, and told the capture itself.)
  if (!waited) tellReady();
}

void ClientSession::tellReady() {
  if (!onReady) return;
  const auto portal = currentPortalID();
  if (portal && pictureDue(*portal)) onReady(*portal);
}

void ClientSession::trySendPendingFrame() {
  const auto now = std::chrono::steady_clock::now();
  std::shared_ptr<const Bytes> frame;
  {
    std::lock_guard guard(statsLock_);
    if (closed_ || !pendingFrame_) return;
    // A phone that moved to another portal (or was told its portal is no longer shared) gets
    // no picture of the old one, however late it was queued.
    if (currentPortal_ != pendingPortal_) {
      pendingFrame_.reset();
      return;
    }
    if (isSending_ || !timing_.mayRelease(now)) return;
    frame = std::move(pendingFrame_);
    pendingFrame_.reset();
    isSending_ = true;
    timing_.sent(now);
    ++sent_;
  }
  // The next picture is wanted from a new time on.
  tellReady();
  if (pendingShows_ != NormalizedRect::full) {
    auto view = std::make_shared<const Bytes>(toBytes(pictureViewJson(pendingShows_)));
    write(WebSocketFrame::encodeHeader(WebSocketOpcode::text, view->size()), view);
  }
  auto header = WebSocketFrame::encodeHeader(WebSocketOpcode::binary, frame->size());
  write(std::move(header), std::move(frame), [weak = weak_from_this()] {
    if (const auto self = weak.lock()) {
      {
        std::lock_guard guard(self->statsLock_);
        self->isSending_ = false;
      }
      self->trySendPendingFrame();
    }
  });
}

void ClientSession::write(Bytes header, std::shared_ptr<const Bytes> payload,
                          Completion completion) {
  const auto connection = connection_.lock();
  if (!connection) return;
  connection->send(
      std::move(header), std::move(payload),
      [weak = weak_from_this(), completion = std::move(completion)](const std::error_code& error) {
        const auto self = weak.lock();
        if (!self) return;
        if (error) {
          if (self->isOpen()) self->finish();
        } else if (completion) {
          completion();
        }
      });
}

void ClientSession::finish() {
  {
    std::lock_guard guard(statsLock_);
    if (closed_) return;
    closed_ = true;
    pendingFrame_.reset();
  }
  if (const auto connection = connection_.lock()) connection->finish();
  if (onClose) onClose(shared_from_this());
}

}  // namespace tavelin
