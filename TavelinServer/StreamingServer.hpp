#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"
#include "TavelinKit/Model/ViewerRouting.hpp"
#include "TavelinKit/Pairing/PairingService.hpp"
#include "TavelinKit/Pairing/PendingPairingStore.hpp"
#include "TavelinKit/Pairing/TicketStore.hpp"
#include "TavelinServer/HTTPRequest.hpp"
#include "TavelinServer/HTTPResponse.hpp"

namespace tavelin {

struct StreamingServerOptions {
  std::uint16_t preferredPort = 8787;
  std::filesystem::path webRoot;
  bool localNetworkOnly = true;
  // Connections that have not become WebSockets by then are closed, whatever they are doing.
  std::chrono::milliseconds httpDeadline{15000};
  // The clock of the stream tickets.
  Clock clock = systemClock();
};

class ClientSession;
class Connection;

// The host's only network service: the web client's files, the pairing and session API and the
// stream socket, all on one port near the preferred one. Admits only local-network peers, 64
// connections in all and 8 per peer address. The listener and the connection table live on the
// "tavelin.server" queue; each connection works on its own queue. A listening server keeps
// itself alive: its owner stops it before letting go.
class StreamingServer final : public ViewerServer,
                              public std::enable_shared_from_this<StreamingServer> {
 public:
  static constexpr int portsToTry = 20;
  static constexpr std::size_t maxConnections = 64;
  static constexpr std::size_t maxConnectionsPerPeer = 8;
  static constexpr std::chrono::seconds allowedHostsLifetime{10};

  using LogSink = std::function<void(const std::string&)>;

  static std::shared_ptr<StreamingServer> make(std::shared_ptr<PairingService> pairing,
                                               StreamingServerOptions options, LogSink log);
  ~StreamingServer() override;

  // Binds the first free port of the preferred one and the next 19 (never beyond 65535) and
  // starts accepting. Throws std::system_error with the last bind error. A no-op while running.
  void start();
  // Closes the listener and every connection. Not from the server queue.
  void stop();
  bool isRunning() const { return running_.load(); }
  std::uint16_t port() const { return port_.load(); }
  std::size_t connectionCount() const;

  const StreamingServerOptions& options() const { return options_; }
  const std::shared_ptr<PairingService>& pairing() const { return pairing_; }
  TicketStore& tickets() { return tickets_; }
  void log(const std::string& line) const;

  // The router, on the calling connection's queue: Host and Origin checks, then the API or
  // the web client's files.
  HTTPResponse handle(const HTTPRequest& request);
  bool hostHeaderIsAllowed(const HTTPRequest& request);
  bool originIsAllowed(const HTTPRequest& request);
  // "localhost", the loopback addresses and this machine's LAN addresses, recomputed at most
  // every 10 seconds.
  std::set<std::string> allowedHostNames();
  HTTPResponse staticFile(const std::string& path) const;

  // Called by a finishing connection.
  void remove(const std::shared_ptr<Connection>& connection);

  // Viewers. The routing calls take a snapshot of the sessions and work on it outside the lock.
  std::shared_ptr<ClientSession> makeSession(const PairedDevice& device,
                                             const std::shared_ptr<Connection>& connection);
  std::vector<std::shared_ptr<ClientSession>> sessions() const;
  std::size_t sessionCount() const;
  void disconnectAll();
  // Closes the open streams of that phone, which stays paired; how many there were.
  std::size_t disconnect(const Uuid& device);
  // To every open session viewing `portal` with the frame's view; one shared buffer for all.
  void sendFrame(const CapturedFrame& frame, const Uuid& portal) override;
  std::size_t viewerCount(const Uuid& portal) const override;
  std::vector<std::optional<PortalView>> views(const Uuid& portal) const override;
  PictureDue pictureDue(const Uuid& portal) const override;
  std::vector<std::shared_ptr<ViewerSession>> viewerSessions() const override;
  // Sets onSessionConnected, onSessionDisconnected and onInput.
  void setViewerHandlers(ViewerHandlers handlers) override;
  void broadcastState(const PortalStateMessage& state);

  // Set by the host before start. With a store and a rule that says so, a right PIN files a
  // request for the host user to approve instead of pairing at once. Both hooks are called on
  // connection queues.
  std::shared_ptr<PendingPairingStore> pendingPairings;
  std::function<bool()> requireApproval;
  std::function<PortalStateMessage()> stateProvider;

  // Set by the host before start; called on the session's queue.
  std::function<void(const std::shared_ptr<ClientSession>&, const InputMessage&)> onInput;
  std::function<void(const std::shared_ptr<ClientSession>&)> onSessionConnected;
  std::function<void(const std::shared_ptr<ClientSession>&)> onSessionDisconnected;
  std::function<void(const Uuid& portal)> onPictureWanted;
  std::function<void()> onClientsChanged;

  StreamingServer(std::shared_ptr<PairingService> pairing, StreamingServerOptions options,
                  LogSink log);

 private:
  struct Listener;

  // The pairing and session API, on the requesting connection's queue.
  std::optional<PairedDevice> authenticate(const HTTPRequest& request);
  HTTPResponse handlePair(const HTTPRequest& request);
  HTTPResponse handlePairStatus(const HTTPRequest& request);
  HTTPResponse handleSession(const HTTPRequest& request);
  HTTPResponse handleTicket(const HTTPRequest& request);
  HTTPResponse handleUnpair(const HTTPRequest& request);

  std::error_code startListener(std::uint16_t port);  // on queue_
  void acceptNext();                                  // on queue_
  void admit(const std::shared_ptr<Connection>& connection);

  const std::shared_ptr<PairingService> pairing_;
  const StreamingServerOptions options_;
  const LogSink log_;
  const SerialQueue queue_{"tavelin.server"};
  TicketStore tickets_{options_.clock};

  std::unique_ptr<Listener> listener_;  // touched only on queue_
  std::unordered_map<const Connection*, std::shared_ptr<Connection>> connections_;  // on queue_
  std::atomic<bool> running_{false};
  std::atomic<std::uint16_t> port_{0};

  mutable std::mutex sessionsLock_;
  std::unordered_map<Uuid, std::shared_ptr<ClientSession>> activeSessions_;  // sessionsLock_

  std::mutex allowedHostsLock_;
  std::set<std::string> allowedHosts_;  // guarded by allowedHostsLock_
  std::optional<std::chrono::steady_clock::time_point> allowedHostsAt_;  // guarded likewise
};

}  // namespace tavelin
