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
  const std::size_t old = buffer_.size();
  buffer_.resize(old + want);
  const std::size_t got =
      error ? 0 : socket_.read_some(asio::buffer(buffer_.data() + old, want), error);
  buffer_.resize(old + got);
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
  auto result = HTTPRequest::parseResult(buffer_);
  switch (result.kind) {
    case HTTPRequest::ParseResult::Kind::incomplete: return;
    case HTTPRequest::ParseResult::Kind::invalid: finish(); return;
    case HTTPRequest::ParseResult::Kind::request: break;
  }
  buffer_.erase(0, result.consumed);
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
  outgoing_.push_back({std::move(header), std::move(payload), std::move(done)});
  if (!writing_) writeNext();
}

void Connection::writeNext() {
  if (outgoing_.empty() || finished_) return;
  writing_ = true;
  // The write owns its bytes until it completes: the socket may still read them after a close.
  auto next = std::make_shared<Outgoing>(std::move(outgoing_.front()));
  outgoing_.pop_front();
  const std::array<asio::const_buffer, 2> buffers{
      asio::buffer(next->header),
      next->payload ? asio::buffer(*next->payload) : asio::const_buffer()};
  asio::async_write(socket_, buffers,
                    [self = shared_from_this(), next](const std::error_code& error, std::size_t) {
                      self->writing_ = false;
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
  while (!finished_) {
    auto decoded = WebSocketFrame::decode(buffer_);
    if (!decoded) {
      if (buffer_.size() > WebSocketFrame::maxUndecodedBuffer) finish();
      return;
    }
    buffer_.erase(0, decoded->second);
    handle(std::move(decoded->first));
  }
}

void Connection::handle(WebSocketFrame frame) {
  switch (frame.opcode) {
    case WebSocketOpcode::close: finish(); return;
    case WebSocketOpcode::ping:
      if (session_) {
        auto payload = std::make_shared<const Bytes>(std::move(frame.payload));
        session_->write(WebSocketFrame::encodeHeader(WebSocketOpcode::pong, payload->size()),
                        payload);
      }
      return;
    case WebSocketOpcode::pong: return;
    case WebSocketOpcode::continuation:
      fragmentPayload_.insert(fragmentPayload_.end(), frame.payload.begin(), frame.payload.end());
      if (fragmentPayload_.size() > WebSocketFrame::maxPayload) {
        finish();
        return;
      }
      if (frame.isFinal && fragmentOpcode_) {
        WebSocketFrame whole{true, *fragmentOpcode_, std::move(fragmentPayload_)};
        fragmentOpcode_.reset();
        fragmentPayload_.clear();
        handle(std::move(whole));
      }
      return;
    case WebSocketOpcode::text:
    case WebSocketOpcode::binary:
      if (!frame.isFinal) {
        fragmentOpcode_ = frame.opcode;
        fragmentPayload_ = std::move(frame.payload);
        return;
      }
      if (frame.opcode == WebSocketOpcode::binary) return;
      break;
  }
  auto message = InputMessage::parse(frame.payload);
  if (!message || !session_) return;
  if (message->type == InputMessageType::ack) {
    session_->acknowledge();
    return;
  }
  if (const auto server = server_.lock(); server && server->onInput)
    server->onInput(session_, *message);
}

void Connection::finish() {
  if (finished_) return;
  finished_ = true;
  deadline_.cancel();
  if (session_ && session_->isOpen()) session_->finish();
  session_.reset();
  outgoing_.clear();
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
