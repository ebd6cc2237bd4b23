#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinServer/HTTPRequest.hpp"
#include "TavelinServer/HTTPResponse.hpp"
#include "TavelinServer/WebSocketFrame.hpp"

namespace tavelin {

class ClientSession;
class StreamingServer;

// One accepted TCP connection. Everything it does runs on its own queue, labelled
// "tavelin.connection." + a fresh id; its socket and timer are bound to that queue. It answers
// one HTTP request and closes, or becomes a WebSocket.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Mode { http, webSocket };

  static constexpr std::size_t maxHTTPBuffer = 81920;
  static constexpr std::size_t maxRead = 65536;

  // `socket` must already be bound to `queue`'s strand.
  Connection(asio::ip::tcp::socket socket, SerialQueue queue, std::weak_ptr<StreamingServer> server,
             std::string peer);

  const std::string& peer() const { return peer_; }
  const SerialQueue& queue() const { return queue_; }

  // Arms the HTTP deadline and starts reading. On the connection's queue.
  void start(std::chrono::milliseconds httpDeadline);
  // Closes the socket, finishes the session and leaves the server's table; idempotent. On the
  // connection's queue.
  void finish();

  using SendCompletion = std::function<void(const std::error_code&)>;
  // Queues bytes for the socket: `header` then the shared `payload` (may be null), written
  // without copying the payload and never interleaved with another send. On the queue.
  void send(Bytes header, std::shared_ptr<const Bytes> payload, SendCompletion done = {});

 private:
  struct Outgoing {
    Bytes header;
    std::shared_ptr<const Bytes> payload;
    SendCompletion done;
  };

  void receive();
  void readAvailable();
  void processHTTP();
  void respondAndFinish(const HTTPResponse& response);
  void writeNext();

  void upgrade(const HTTPRequest& request);
  void processWebSocket();
  void handle(WebSocketFrame frame);

  asio::ip::tcp::socket socket_;
  const SerialQueue queue_;
  const std::weak_ptr<StreamingServer> server_;
  const std::string peer_;
  asio::steady_timer deadline_;

  // Touched only on queue_.
  std::string buffer_;  // received bytes not yet consumed
  Mode mode_ = Mode::http;
  bool answered_ = false;  // one request is answered per connection
  bool finished_ = false;
  std::deque<Outgoing> outgoing_;
  bool writing_ = false;
  std::shared_ptr<ClientSession> session_;
  std::optional<WebSocketOpcode> fragmentOpcode_;
  Bytes fragmentPayload_;
};

}  // namespace tavelin
