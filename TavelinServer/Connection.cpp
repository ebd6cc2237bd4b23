#include "TavelinServer/Connection.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <asio/write.hpp>

#include "TavelinKit/Foundation/Json.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"
#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/StreamingServer.hpp"

namespace tavelin {

namespace {

// A phone that vanished (Wi-Fi off, out of range) sends nothing at all; keep-alive probes and a
// user timeout report the connection dead in about 30 s instead of the kernel's 15 minutes.
void configureSocket(asio::ip::tcp::socket& socket) {
  std::error_code ignored;
  socket.non_blocking(true, ignored);  // reads take only what is there
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  const int fd = socket.native_handle();
  const int idle = 10, interval = 5, count = 3;
  const unsigned int userTimeout = 30000;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

}  // namespace

Connection::Connection(asio::ip::tcp::socket socket, SerialQueue queue,
                       std::weak_ptr<StreamingServer> server, std::string peer)
    : socket_(std::move(socket)),
      queue_(std::move(queue)),
      server_(std::move(server)),
      peer_(std::move(peer)),
      deadline_(socket_.get_executor()) {}

void Connection::start(std::chrono::milliseconds httpDeadline) {
  configureSocket(socket_);
  deadline_.expires_after(httpDeadline);
  deadline_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    if (error) return;
    if (auto self = weak.lock(); self && self->mode_ == Mode::http) self->finish();
  });
  receive();
}

void Connection::receive() {
  // Waiting for readability holds no buffer, so idle connections cost next to nothing.
  socket_.async_wait(asio::ip::tcp::socket::wait_read,
                     [self = shared_from_this()](const std::error_code& error) {
                       if (self->finished_) return;
                       if (error) {
                         self->finish();
                         return;
                       }
                       self->readAvailable();
                     });
}

void Connection::readAvailable() {
  std::error_code error;
  const std::size_t available = socket_.available(error);
  const std::size_t want = std::min(std::max<std::size_t>(available, 1), maxRead);
  const auto room = buffer_.prepare(want);
  const std::size_t got =
      error ? 0 : socket_.read_some(asio::buffer(room.data(), room.size()), error);
  buffer_.commit(got);
  if (got > 0) {
    switch (mode_) {
      case Mode::http: processHTTP(); break;
      case Mode::webSocket: processWebSocket(); break;
    }
  }
  if (finished_) return;
  if (error && error != asio::error::would_block) {  // end of stream or a transport error
    finish();
    return;
  }
  receive();
}

void Connection::processHTTP() {
  // Also after the answer: a client that keeps sending while its response is on the way is
  // cut off instead of filling memory until the deadline.
  if (buffer_.size() > maxHTTPBuffer) {
    finish();
    return;
  }
  if (answered_) return;
  auto result = request_.parse(buffer_.data());
  switch (result.kind) {
    case HTTPRequest::ParseResult::Kind::incomplete: return;
    case HTTPRequest::ParseResult::Kind::invalid: finish(); return;
    case HTTPRequest::ParseResult::Kind::request: break;
  }
  buffer_.consume(result.consumed);
  answered_ = true;
  if (result.request.isWebSocketUpgrade() && result.request.path == "/ws") {
    upgrade(result.request);
    return;
  }
  const auto server = server_.lock();
  if (!server) {
    finish();
    return;
  }
  respondAndFinish(server->handle(result.request));
}

void Connection::respondAndFinish(const HTTPResponse& response) {
  send(response.serialized(), nullptr, [weak = weak_from_this()](const std::error_code&) {
    if (const auto self = weak.lock()) self->finish();
  });
}

void Connection::send(Bytes header, std::shared_ptr<const Bytes> payload, SendCompletion done) {
  if (finished_) {
    if (done) done(asio::error::operation_aborted);
    return;
  }
  // While the close frame leaves, everything else is dropped: the peer is being shut out.
  if (closing_) return;
  outgoing_.push_back({std::move(header), std::move(payload), std::move(done)});
  queuedBytes_ += outgoing_.back().size();
  if (queuedBytes_ > maxQueuedBytes) {
    if (const auto server = server_.lock()) {
      server->log("Network error: " + peer_ + " stopped reading; closing its connection");
    }
    finish();
    return;
  }
  writeNext();
}

void Connection::writeNext() {
  if (writing_ || outgoing_.empty() || finished_) return;
  writing_ = true;
  // The write owns its bytes until it completes: the socket may still read them after a close.
  auto next = std::make_shared<Outgoing>(std::move(outgoing_.front()));
  outgoing_.pop_front();
  queuedBytes_ -= next->size();
  const std::array<asio::const_buffer, 2> buffers{
      asio::buffer(next->header),
      next->payload ? asio::buffer(*next->payload) : asio::const_buffer()};
  asio::async_write(socket_, buffers,
                    [self = shared_from_this(), next](const std::error_code& error, std::size_t) {
                      self->writing_ = false;
                      // The completion may queue more (a picture's sends the next picture);
                      // writeNext starts whichever comes first, once.
                      if (next->done) next->done(error);
                      if (!error) self->writeNext();
                    });
}

void Connection::upgrade(const HTTPRequest& request) {
  const auto server = server_.lock();
  if (!server) {
    finish();
    return;
  }
  if (!server->hostHeaderIsAllowed(request) || !server->originIsAllowed(request)) {
    respondAndFinish(HTTPResponse::text("Forbidden", 403));
    return;
  }
  const auto ticket = request.query.find("ticket");
  const auto deviceID = server->tickets().consume(
      ticket == request.query.end() ? std::nullopt : std::optional(ticket->second));
  const auto device = deviceID ? server->pairing()->device(*deviceID) : std::nullopt;
  if (!device) {
    server->log("Unauthorized stream connection rejected");
    respondAndFinish(HTTPResponse::json({{"error", "unauthorized"}}, 401));
    return;
  }
  const auto key = request.header("sec-websocket-key");
  if (!key) {
    respondAndFinish(HTTPResponse::text("Bad Request", 400));
    return;
  }
  mode_ = Mode::webSocket;
  send(WebSocketFrame::handshakeResponse(*key), nullptr);
  session_ = server->makeSession(*device, shared_from_this());
  processWebSocket();
}

void Connection::processWebSocket() {
  if (closing_) {
    buffer_.clear();  // nothing more is read from a peer that is being closed
    return;
  }
  while (!finished_ && !closing_) {
    auto event = frames_.next(buffer_);
    if (!event) {
      if (buffer_.size() > WebSocketFrame::maxUndecodedBuffer) {
        closeStream(WebSocketFrame::messageTooBig, "too many bytes without a frame");
      }
      return;
    }
    handle(std::move(*event));
  }
}

void Connection::handle(WebSocketReader::Event event) {
  using Kind = WebSocketReader::Event::Kind;
  switch (event.kind) {
    case Kind::close: finish(); return;
    case Kind::violation:
      closeStream(event.closeCode, event.closeCode == WebSocketFrame::messageTooBig
                                       ? "a frame or message above the size limit"
                                       : "a frame that cannot be read");
      return;
    case Kind::ping:
      if (session_) {
        auto payload = std::make_shared<const Bytes>(std::move(event.payload));
        session_->write(WebSocketFrame::encodeHeader(WebSocketOpcode::pong, payload->size()),
                        payload);
      }
      return;
    case Kind::pong:
    case Kind::binary: return;
    case Kind::text: break;
  }
  auto message = InputMessage::parse(event.payload);
  if (!message || !session_) return;
  if (message->type == InputMessageType::ack) {
    session_->acknowledge();
    return;
  }
  if (const auto server = server_.lock(); server && server->onInput)
    server->onInput(session_, *message);
}

void Connection::closeStream(std::uint16_t code, const std::string& reason) {
  if (closing_ || finished_) return;
  if (const auto server = server_.lock()) {
    server->log("Network error: closing the stream of " + peer_ + " (" + std::to_string(code) +
                "): " + reason);
  }
  // What still waits is of no use to a peer that broke the protocol.
  outgoing_.clear();
  queuedBytes_ = 0;
  const Bytes status{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
  send(WebSocketFrame::encode(WebSocketOpcode::close, asText(status)), nullptr,
       [weak = weak_from_this()](const std::error_code&) {
         if (const auto self = weak.lock()) self->finish();
       });
  closing_ = true;
  deadline_.expires_after(closeFrameWait);
  deadline_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    if (error) return;
    if (const auto self = weak.lock()) self->finish();
  });
}

void Connection::finish() {
  if (finished_) return;
  finished_ = true;
  deadline_.cancel();
  if (session_ && session_->isOpen()) session_->finish();
  session_.reset();
  outgoing_.clear();
  queuedBytes_ = 0;
  std::error_code ignored;
  // Unread bytes at close would turn the FIN into a reset that can destroy the response still
  // on its way; take them off the socket first.
  // Bounded: a client that never stops sending must not keep this thread here.
  char sink[4096];
  for (int chunk = 0; chunk < 16 && socket_.available(ignored) > 0 && !ignored; ++chunk) {
    if (socket_.read_some(asio::buffer(sink), ignored) == 0) break;
  }
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  if (auto server = server_.lock()) server->remove(shared_from_this());
}

}  // namespace tavelin
