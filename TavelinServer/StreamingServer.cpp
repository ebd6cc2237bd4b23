#include "TavelinServer/StreamingServer.hpp"

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include "TavelinKit/Dispatch/DispatchPool.hpp"
#include "TavelinKit/Foundation/Files.hpp"
#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/Connection.hpp"
#include "TavelinServer/NetworkAddresses.hpp"
#include "TavelinServer/ParsedOrigin.hpp"
#include "TavelinServer/ServerErrors.hpp"

namespace tavelin {

namespace {

std::string endpointText(const asio::ip::tcp::endpoint& endpoint) {
  const std::string address = NetworkAddresses::peerAddress(endpoint.address());
  const bool bracketed = address.find(':') != std::string::npos;
  return (bracketed ? "[" + address + "]" : address) + ":" + std::to_string(endpoint.port());
}

bool containsControlByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

}  // namespace

struct StreamingServer::Listener {
  explicit Listener(const Strand& strand) : acceptor(strand) {}
  asio::ip::tcp::acceptor acceptor;
};

std::shared_ptr<StreamingServer> StreamingServer::make(std::shared_ptr<PairingService> pairing,
                                                       StreamingServerOptions options,
                                                       LogSink log) {
  return std::make_shared<StreamingServer>(std::move(pairing), std::move(options), std::move(log));
}

StreamingServer::StreamingServer(std::shared_ptr<PairingService> pairing,
                                 StreamingServerOptions options, LogSink log)
    : pairing_(std::move(pairing)), options_(std::move(options)), log_(std::move(log)) {}

StreamingServer::~StreamingServer() = default;

void StreamingServer::log(const std::string& line) const {
  if (log_) log_(line);
}

void StreamingServer::start() {
  enum class Outcome { alreadyRunning, started, failed };
  std::error_code last = make_error_code(ServerError::couldNotBind);
  const Outcome outcome = queue_.sync([&] {
    if (listener_) return Outcome::alreadyRunning;
    for (int offset = 0; offset < portsToTry; ++offset) {
      const int port = options_.preferredPort + offset;
      if (port > 65535) break;
      last = startListener(static_cast<std::uint16_t>(port));
      if (!last) return Outcome::started;
    }
    return Outcome::failed;
  });
  switch (outcome) {
    case Outcome::alreadyRunning: return;
    case Outcome::started: log("Server started on port " + std::to_string(port())); return;
    case Outcome::failed: throw std::system_error(last, "Could not start the server");
  }
}

std::error_code StreamingServer::startListener(std::uint16_t port) {
  auto listener = std::make_unique<Listener>(strandOf(queue_));
  auto& acceptor = listener->acceptor;
  std::error_code error;
  // One socket for both families where the machine has IPv6; plain IPv4 where it does not.
  acceptor.open(asio::ip::tcp::v6(), error);
  if (!error) {
    acceptor.set_option(asio::ip::v6_only(false), error);
    if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind({asio::ip::tcp::v6(), port}, error);
    if (error) {
      std::error_code ignored;
      acceptor.close(ignored);
    }
  }
  if (!acceptor.is_open()) {
    error.clear();
    acceptor.open(asio::ip::tcp::v4(), error);
    if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind({asio::ip::tcp::v4(), port}, error);
  }
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) return error;
  listener_ = std::move(listener);
  port_ = port;
  running_ = true;
  acceptNext();
  return {};
}

void StreamingServer::acceptNext() {
  if (!listener_) return;
  SerialQueue queue("tavelin.connection." + Uuid::random().string());
  auto socket = std::make_shared<asio::ip::tcp::socket>(strandOf(queue));
  listener_->acceptor.async_accept(*socket, [self = shared_from_this(), socket,
                                             queue](const std::error_code& error) {
    if (error == asio::error::operation_aborted || !self->listener_) return;
    if (error) {
      // Out of descriptors and the like: try again shortly rather than spin.
      self->log("Network error: listener failed (" + error.message() + ")");
      self->queue_.asyncAfter(std::chrono::milliseconds(100), [self] { self->acceptNext(); });
      return;
    }
    std::error_code ignored;
    const auto endpoint = socket->remote_endpoint(ignored);
    if (self->options_.localNetworkOnly && !NetworkAddresses::isLocalAddress(endpoint.address())) {
      self->log("Network error: rejected non-local connection from " + endpointText(endpoint));
      socket->close(ignored);
    } else {
      self->admit(std::make_shared<Connection>(std::move(*socket), queue, self,
                                               NetworkAddresses::peerAddress(endpoint.address())));
    }
    self->acceptNext();
  });
}

void StreamingServer::admit(const std::shared_ptr<Connection>& connection) {
  if (connections_.size() >= maxConnections) {
    log("Network error: connection limit reached \u2014 refusing a new connection");
    asio::post(strandOf(connection->queue()), [connection] { connection->finish(); });
    return;
  }
  std::size_t fromPeer = 0;
  for (const auto& [key, other] : connections_)
    fromPeer += other->peer() == connection->peer() ? 1 : 0;
  if (fromPeer >= maxConnectionsPerPeer) {
    log("Network error: per-peer connection limit reached for " + connection->peer());
    asio::post(strandOf(connection->queue()), [connection] { connection->finish(); });
    return;
  }
  connections_.emplace(connection.get(), connection);
  asio::post(strandOf(connection->queue()),
             [connection, deadline = options_.httpDeadline] { connection->start(deadline); });
}

void StreamingServer::remove(const std::shared_ptr<Connection>& connection) {
  queue_.async(
      [self = shared_from_this(), connection] { self->connections_.erase(connection.get()); });
}

void StreamingServer::stop() {
  disconnectAll();
  std::vector<std::shared_ptr<Connection>> open;
  queue_.sync([&] {
    if (listener_) {
      std::error_code ignored;
      listener_->acceptor.close(ignored);
      listener_.reset();
    }
    running_ = false;
    for (auto& [key, connection] : connections_) open.push_back(connection);
    connections_.clear();
  });
  for (auto& connection : open) {
    connection->queue().sync([&] { connection->finish(); });
  }
}

std::size_t StreamingServer::connectionCount() const {
  return queue_.sync([&] { return connections_.size(); });
}

// Sessions.

std::shared_ptr<ClientSession> StreamingServer::makeSession(
    const PairedDevice& device, const std::shared_ptr<Connection>& connection) {
  auto session =
      std::make_shared<ClientSession>(device, connection, connection->queue(), connection->peer());
  session->onClose = [weak = weak_from_this()](const std::shared_ptr<ClientSession>& closed) {
    const auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard guard(self->sessionsLock_);
      self->activeSessions_.erase(closed->id);
    }
    self->log("Client disconnected: " + closed->deviceName);
    if (self->onSessionDisconnected) self->onSessionDisconnected(closed);
    if (self->onClientsChanged) self->onClientsChanged();
  };
  session->onReady = [weak = weak_from_this()](const Uuid& portal) {
    const auto self = weak.lock();
    if (self && self->onPictureWanted) self->onPictureWanted(portal);
  };
  {
    std::lock_guard guard(sessionsLock_);
    activeSessions_.emplace(session->id, session);
  }
  log("Client connected: " + device.name);
  if (onClientsChanged) onClientsChanged();
  if (onSessionConnected) onSessionConnected(session);
  return session;
}

std::vector<std::shared_ptr<ClientSession>> StreamingServer::sessions() const {
  std::lock_guard guard(sessionsLock_);
  std::vector<std::shared_ptr<ClientSession>> snapshot;
  snapshot.reserve(activeSessions_.size());
  for (const auto& [id, session] : activeSessions_) snapshot.push_back(session);
  return snapshot;
}

std::size_t StreamingServer::sessionCount() const {
  std::lock_guard guard(sessionsLock_);
  return activeSessions_.size();
}

void StreamingServer::disconnectAll() {
  for (const auto& session : sessions()) session->close();
}

std::size_t StreamingServer::disconnect(const Uuid& device) {
  std::size_t closed = 0;
  for (const auto& session : sessions()) {
    if (session->deviceID != device || !session->isOpen()) continue;
    session->close();
    ++closed;
  }
  return closed;
}

// Every picture passes here and through the capture's gate (viewerCount): they look at the
// sessions in place rather than copying the table. Sessions only queue work here, and their
// own locks are never held while this one is taken.
void StreamingServer::sendFrame(const CapturedFrame& frame, const Uuid& portal) {
  std::lock_guard guard(sessionsLock_);
  for (const auto& entry : activeSessions_) {
    const auto& session = entry.second;
    if (session->isOpen() && session->currentPortalID() == portal &&
        session->view() == frame.view) {
      session->pushFrame(frame.jpeg, portal, frame.shows);
    }
  }
}

std::vector<std::optional<PortalView>> StreamingServer::views(const Uuid& portal) const {
  std::vector<std::optional<PortalView>> distinct;
  std::lock_guard guard(sessionsLock_);
  for (const auto& entry : activeSessions_) {
    const auto& session = entry.second;
    if (!session->isOpen() || session->currentPortalID() != portal) continue;
    const auto view = session->view();
    if (std::find(distinct.begin(), distinct.end(), view) == distinct.end())
      distinct.push_back(view);
  }
  return distinct;
}

std::vector<std::shared_ptr<ViewerSession>> StreamingServer::viewerSessions() const {
  const auto open = sessions();
  return {open.begin(), open.end()};
}

void StreamingServer::setViewerHandlers(ViewerHandlers handlers) {
  onSessionConnected = std::move(handlers.onConnected);
  onSessionDisconnected = std::move(handlers.onDisconnected);
  onInput = std::move(handlers.onInput);
  onPictureWanted = std::move(handlers.onPictureWanted);
}

std::size_t StreamingServer::viewerCount(const Uuid& portal) const {
  std::lock_guard guard(sessionsLock_);
  std::size_t count = 0;
  for (const auto& entry : activeSessions_) {
    count += entry.second->isOpen() && entry.second->currentPortalID() == portal ? 1 : 0;
  }
  return count;
}

PictureDue StreamingServer::pictureDue(const Uuid& portal) const {
  PictureDue earliest;
  std::lock_guard guard(sessionsLock_);
  for (const auto& entry : activeSessions_) {
    const auto due = entry.second->pictureDue(portal);
    if (due && (!earliest || *due < *earliest)) earliest = due;
  }
  return earliest;
}

void StreamingServer::broadcastState(const PortalStateMessage& state) {
  const std::string text = state.jsonString();
  for (const auto& session : sessions()) {
    if (session->isOpen()) session->sendText(text);
  }
}

// Routing.

HTTPResponse StreamingServer::handle(const HTTPRequest& request) {
  if (!hostHeaderIsAllowed(request) || !originIsAllowed(request)) {
    return HTTPResponse::text("Forbidden", 403);
  }
  // A path that decodes to a control byte names no file, and a NUL in it would cut the file
  // name short ("/app.js%00.html" would serve the script).
  if (containsControlByte(request.path)) return HTTPResponse::text("Bad Request", 400);
  struct Route {
    std::string_view method;
    std::string_view path;
    HTTPResponse (StreamingServer::*handler)(const HTTPRequest&);
  };
  static constexpr Route routes[] = {
      {"POST", "/api/pair", &StreamingServer::handlePair},
      {"GET", "/api/session", &StreamingServer::handleSession},
      {"POST", "/api/ws-ticket", &StreamingServer::handleTicket},
      {"POST", "/api/unpair", &StreamingServer::handleUnpair},
      {"GET", "/api/pair-status", &StreamingServer::handlePairStatus},
  };
  for (const auto& route : routes) {
    if (request.method == route.method && request.path == route.path)
      return (this->*route.handler)(request);
  }
  if (request.method == "GET") return staticFile(request.path);
  return HTTPResponse::text("Method not allowed", 405);
}

bool StreamingServer::hostHeaderIsAllowed(const HTTPRequest& request) {
  const auto host = request.header("host");
  return host && allowedHostNames().contains(asciiLowercased(NetworkAddresses::stripPort(*host)));
}

bool StreamingServer::originIsAllowed(const HTTPRequest& request) {
  const auto value = request.header("origin");
  if (!value || value->empty() || *value == "null") return true;
  const auto origin = parseOrigin(*value);
  if (!origin || (origin->scheme != "http" && origin->scheme != "https")) return false;
  if (!allowedHostNames().contains(asciiLowercased(origin->host))) return false;
  const int port = origin->port.value_or(origin->scheme == "https" ? 443 : 80);
  return port == static_cast<int>(port_.load());
}

std::set<std::string> StreamingServer::allowedHostNames() {
  std::lock_guard guard(allowedHostsLock_);
  const auto now = std::chrono::steady_clock::now();
  if (allowedHostsAt_ && now - *allowedHostsAt_ < allowedHostsLifetime) return allowedHosts_;
  allowedHosts_ = {"localhost", "127.0.0.1", "::1"};
  for (const auto& address : NetworkAddresses::localAddresses()) {
    allowedHosts_.insert(asciiLowercased(address));
  }
  allowedHostsAt_ = now;
  return allowedHosts_;
}

HTTPResponse StreamingServer::staticFile(const std::string& path) const {
  const HTTPResponse notFound = HTTPResponse::text("Not found", 404);
  std::string relative =
      path == "/" ? "index.html" : path.substr(std::min(path.find_first_not_of('/'), path.size()));
  if (relative.find("..") != std::string::npos || containsControlByte(relative)) return notFound;
  const auto root = (options_.webRoot / "").lexically_normal();
  const auto file = (root / relative).lexically_normal();
  if (file.native().compare(0, root.native().size(), root.native()) != 0) return notFound;
  auto contents = readWholeFile(file);
  if (!contents) return notFound;
  return HTTPResponse::file(toBytes(*contents), MimeTypes::forPath(relative));
}

}  // namespace tavelin
