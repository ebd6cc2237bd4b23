#include "TavelinServer/Connection.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <asio/write.hpp>

#include "TavelinServer/HTTPRequest.hpp"
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
      case Mode::webSocket: break;
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
  if (answered_) return;
  if (buffer_.size() > maxHTTPBuffer) {
    finish();
    return;
  }
  auto result = HTTPRequest::parseResult(buffer_);
  switch (result.kind) {
    case HTTPRequest::ParseResult::Kind::incomplete: return;
    case HTTPRequest::ParseResult::Kind::invalid: finish(); return;
    case HTTPRequest::ParseResult::Kind::request: break;
  }
  buffer_.erase(0, result.consumed);
  const auto server = server_.lock();
  if (!server) {
    finish();
    return;
  }
  answered_ = true;
  respond(server->handle(result.request));
}

void Connection::respond(const HTTPResponse& response) {
  auto bytes = std::make_shared<const Bytes>(response.serialized());
  asio::async_write(
      socket_, asio::buffer(*bytes),
      [self = shared_from_this(), bytes](const std::error_code&, std::size_t) { self->finish(); });
}

void Connection::finish() {
  if (finished_) return;
  finished_ = true;
  deadline_.cancel();
  std::error_code ignored;
  // Unread bytes at close would turn the FIN into a reset that can destroy the response still
  // on its way; take them off the socket first.
  char sink[4096];
  while (socket_.available(ignored) > 0 && !ignored) {
    if (socket_.read_some(asio::buffer(sink), ignored) == 0) break;
  }
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  if (auto server = server_.lock()) server->remove(shared_from_this());
}

}  // namespace tavelin
