#include "TavelinHost/App/HostConnection.hpp"

#include <QUrl>
#include <algorithm>

#include "TavelinHost/App/AppSettings.hpp"
#include "TavelinHost/App/Phones.hpp"
#include "TavelinHost/App/QrCode.hpp"
#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/NetworkAddresses.hpp"
#include "TavelinServer/StreamingServer.hpp"

namespace tavelin {

HostConnection::HostConnection(Phones& phones, const AppSettings& settings, Options options,
                               HostLogSink log)
    : phones_(phones), options_(std::move(options)), log_(std::move(log)) {
  StreamingServerOptions server;
  server.preferredPort = settings.value().port;
  server.webRoot = options_.webRoot;
  server.localNetworkOnly = true;
  server_ = StreamingServer::make(phones_.pairing(), server,
                                  [log = log_](const std::string& line) { log("Server", line); });
  server_->pendingPairings = phones_.pendingStore();
  // Asked on connection threads, while the user may be changing the setting.
  server_->requireApproval = [read = settings.reader()] { return read().requireApproval; };
  phones_.onRevoked = [server = server_] { server->disconnectAll(); };
}

HostConnection::~HostConnection() {
  phones_.onRevoked = nullptr;
  if (server_->isRunning()) server_->stop();
}

std::string HostConnection::localAddress() const {
  return options_.localAddress ? options_.localAddress()
                               : NetworkAddresses::preferredLocalAddress();
}

std::uint16_t HostConnection::port() const { return server_->port(); }

std::vector<HostConnection::Stream> HostConnection::streams() const {
  std::vector<Stream> open;
  for (const auto& session : server_->sessions()) {
    if (!session->isOpen()) continue;
    open.push_back(
        {session->deviceID, session->currentPortalID(), session->address, session->connectedAt});
  }
  std::stable_sort(open.begin(), open.end(),
                   [](const Stream& a, const Stream& b) { return a.since < b.since; });
  return open;
}

std::size_t HostConnection::disconnect(const Uuid& device) {
  const std::size_t closed = server_->disconnect(device);
  if (closed > 0 && log_) {
    log_("Server", "Disconnected " + phones_.deviceName(device) + " (" + std::to_string(closed) +
                       (closed == 1 ? " stream" : " streams") + "); it stays paired");
  }
  if (closed > 0) refreshSessions();
  return closed;
}

bool HostConnection::start(std::string& why) {
  try {
    server_->start();
  } catch (const std::exception& error) {
    why = error.what();
    return false;
  }
  serverRunning_ = true;
  Q_EMIT serverRunningChanged();
  const QString url = QStringLiteral("http://") + QString::fromStdString(localAddress()) + ":" +
                      QString::number(server_->port());
  if (url != connectionURL_) {
    connectionURL_ = url;
    Q_EMIT connectionURLChanged();
  }
  qrImage_ = makeQrImage(url, options_.qrScale);
  Q_EMIT qrImageChanged();
  return true;
}

void HostConnection::stop() {
  server_->stop();
  if (!serverRunning_) return;
  serverRunning_ = false;
  Q_EMIT serverRunningChanged();
}

void HostConnection::refreshSessions() {
  std::set<Uuid> connected;
  std::map<Uuid, std::uint64_t> counts;
  for (const auto& session : server_->sessions()) {
    connected.insert(session->deviceID);
    counts[session->deviceID] = session->framesSent();
  }
  if (connected != connectedDeviceIDs_) {
    phones_.recordConnections(connectedDeviceIDs_, connected);
    connectedDeviceIDs_ = std::move(connected);
    Q_EMIT connectedDeviceIDsChanged();
  }
  if (counts != frameCounts_) {
    frameCounts_ = std::move(counts);
    Q_EMIT frameCountsChanged();
  }
  auto open = streams();
  if (open != streams_) {
    streams_ = std::move(open);
    Q_EMIT streamsChanged();
  }
}

QString HostConnection::hostAndPort() const {
  const QUrl url(connectionURL_, QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty()) return connectionURL_;
  return url.port() >= 0 ? url.host() + ":" + QString::number(url.port()) : url.host();
}

bool HostConnection::canShare() const {
  const QUrl url(connectionURL_, QUrl::StrictMode);
  return serverRunning_ && url.isValid() && !url.host().isEmpty();
}

void HostConnection::copyLink() const {
  if (copyText) copyText(connectionURL_);
}

void HostConnection::openInBrowser() const {
  const QUrl url(connectionURL_, QUrl::StrictMode);
  if (url.isValid() && !url.host().isEmpty() && openURL) openURL(connectionURL_);
}

}  // namespace tavelin
