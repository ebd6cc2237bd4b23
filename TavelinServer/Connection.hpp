#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinServer/HTTPRequestParser.hpp"
#include "TavelinServer/HTTPResponse.hpp"
#include "TavelinServer/ReceiveBuffer.hpp"
#include "TavelinServer/WebSocketReader.hpp"

namespace tavelin {

class ClientSession;
class StreamingServer;

// One accepted TCP connection. Everything it does runs on its own queue, labelled
// "tavelin.connection." + a fresh id; its socket and timer are bound to that queue. It answers
// one HTTP request and closes, or becomes a WebSocket. Every byte it writes, whatever it is,
// goes through one ordered queue with at most one write on the socket at a time.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Mode { http, webSocket };

  static constexpr std::size_t maxHTTPBuffer = 81920;
  static constexpr std::size_t maxRead = 65536;
  // Bytes waiting behind the write on the socket; a peer that lets more pile up has stopped
  // reading and is closed.
  static constexpr std::size_t maxQueuedBytes = std::size_t{4} << 20;
  // How long a close frame may take to leave before the socket is closed anyway.
  static constexpr std::chrono::milliseconds closeFrameWait{1000};

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
  // without copying the payload, after everything queued before and never interleaved with it.
  // `done` runs on the queue once the bytes are written or cannot be. On the queue.
  void send(Bytes header, std::shared_ptr<const Bytes> payload, SendCompletion done = {});

 private:
  struct Outgoing {
    Bytes header;
    std::shared_ptr<const Bytes> payload;
    SendCompletion done;
    std::size_t size() const { return header.size() + (payload ? payload->size() : 0); }
  };

  void receive();
  void readAvailable();
  void processHTTP();
  void respondAndFinish(const HTTPResponse& response);
  void writeNext();

  void upgrade(const HTTPRequest& request);
  void processWebSocket();
  void handle(WebSocketReader::Event event);
  // Sends a close frame with `code`, reads nothing more, and finishes once it is out.
  void closeStream(std::uint16_t code, const std::string& reason);

  asio::ip::tcp::socket socket_;
  const SerialQueue queue_;
  const std::weak_ptr<StreamingServer> server_;
  const std::string peer_;
  asio::steady_timer deadline_;

  // Touched only on queue_.
  ReceiveBuffer buffer_;  // received bytes not yet consumed
  HTTPRequestParser request_;
  WebSocketReader frames_;
  Mode mode_ = Mode::http;
  bool answered_ = false;  // one request is answered per connection
  bool closing_ = false;   // a close frame is on its way; nothing else is sent or read
  bool finished_ = false;
  std::deque<Outgoing> outgoing_;  // waiting behind the write in flight
  std::size_t queuedBytes_ = 0;    // the sizes of outgoing_
  bool writing_ = false;           // a write is on the socket
  std::shared_ptr<ClientSession> session_;
};

}  // namespace tavelin
