#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"

namespace tavelin {

class AppSettings;
class Phones;
class StreamingServer;

// The server and its sessions: where phones connect (the address, its QR code), whether the
// server runs, and which phones stream now.
class HostConnection final : public QObject {
  Q_OBJECT
 public:
  // What the address says until the server listens.
  inline static const QString urlBeforeStart = QStringLiteral("starting\u2026");

  struct Options {
    std::filesystem::path webRoot;
    std::function<std::string()>
        localAddress;  // the LAN address to advertise; the system's if empty
    int qrScale = 20;
  };

  HostConnection(Phones& phones, const AppSettings& settings, Options options, HostLogSink log);
  ~HostConnection() override;

  bool serverRunning() const { return serverRunning_; }
  QString connectionURL() const { return connectionURL_; }
  QImage qrImage() const { return qrImage_; }
  // "address:port" of the URL, or the URL itself while there is none.
  QString hostAndPort() const;
  // A phone could be pointed here: the server listens at an address.
  bool canShare() const;
  const std::set<Uuid>& connectedDeviceIDs() const { return connectedDeviceIDs_; }
  // Pictures sent to each phone streaming now.
  const std::map<Uuid, std::uint64_t>& frameCounts() const { return frameCounts_; }

  // Starts listening; false (with the reason in `why`) when no port can be had.
  bool start(std::string& why);
  void stop();
  // One open stream: which phone, which portal it watches, from where and since when.
  struct Stream {
    Uuid device;
    std::optional<Uuid> portal;
    std::string address;
    Date since;
    bool operator==(const Stream&) const = default;
  };
  // The streams open now, oldest first.
  std::vector<Stream> streams() const;
  // The streams as the last refresh saw them, for the window (streamsChanged tells).
  const std::vector<Stream>& refreshedStreams() const { return streams_; }
  // Closes the phone's streams; it stays paired and may connect again. How many were open.
  std::size_t disconnect(const Uuid& device);
  // The once-a-second look at the sessions; the phones' history notes who came and went.
  void refreshSessions();
  std::string localAddress() const;
  std::uint16_t port() const;
  StreamingServer& server() { return *server_; }
  const std::shared_ptr<StreamingServer>& sharedServer() const { return server_; }

  void copyLink() const;
  void openInBrowser() const;
  // What the window (or nothing) provides.
  std::function<void(const QString&)> copyText;
  std::function<void(const QString&)> openURL;

 Q_SIGNALS:
  void serverRunningChanged();
  void connectionURLChanged();
  void qrImageChanged();
  void connectedDeviceIDsChanged();
  void frameCountsChanged();
  void streamsChanged();

 private:
  Phones& phones_;
  const Options options_;
  const HostLogSink log_;
  std::shared_ptr<StreamingServer> server_;
  bool serverRunning_ = false;
  QString connectionURL_ = urlBeforeStart;
  QImage qrImage_;
  std::set<Uuid> connectedDeviceIDs_;
  std::map<Uuid, std::uint64_t> frameCounts_;
  std::vector<Stream> streams_;
};

}  // namespace tavelin
