#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Pairing/DeviceHistoryStore.hpp"
#include "TavelinKit/Pairing/PairedDevice.hpp"
#include "TavelinKit/Pairing/PendingPairingStore.hpp"

namespace tavelin {

class Executor;
class PairingService;

// The phones: the PIN, the paired devices and their history, and the requests waiting for the
// user's approval. The stores call back from the server's threads; what the window reads
// changes on the main thread.
class Phones final : public QObject {
  Q_OBJECT
 public:
  Phones(const std::shared_ptr<DataFolder>& folder, Clock clock,
         std::shared_ptr<Executor> mainExecutor, HostLogSink log);
  ~Phones() override;

  QString pin() const { return pin_; }
  const std::vector<PairedDevice>& devices() const { return devices_; }
  // The paired device with this id, or none.
  const PairedDevice* device(const Uuid& id) const;
  // Its name, or the id's text for a device no longer paired.
  std::string deviceName(const Uuid& id) const;
  const std::vector<PendingPairing>& pendingRequests() const { return pendingRequests_; }
  std::vector<DeviceEvent> history(const Uuid& deviceID) const;

  // Only a request still waiting is answered (`made`); a second answer changes nothing.
  PendingPairingStore::Decision approve(const Uuid& requestID);
  PendingPairingStore::Decision deny(const Uuid& requestID);
  void newPin();
  // The device's token stops working and its streams close (through onRevoked).
  void revoke(const Uuid& deviceID);
  void revokeAll();
  void clearHistory(const Uuid& deviceID);

  // The once-a-second care: a PIN older than its lifetime is replaced.
  void tick();
  // Notes in the history which phones' streams opened and closed since the last look.
  void recordConnections(const std::set<Uuid>& before, const std::set<Uuid>& now);

  // For the server, which checks PINs, tokens and approvals on its own threads.
  const std::shared_ptr<PairingService>& pairing() const { return pairing_; }
  const std::shared_ptr<PendingPairingStore>& pendingStore() const { return pendingStore_; }

  // Closes the streams of revoked devices; set by whoever owns the server.
  std::function<void()> onRevoked;

 Q_SIGNALS:
  void pinChanged();
  void devicesChanged();
  void pendingRequestsChanged();
  void historyChanged();
  void devicePaired(const tavelin::PairedDevice& device);

 private:
  const Clock clock_;
  const std::shared_ptr<Executor> mainExecutor_;
  const HostLogSink log_;
  std::shared_ptr<PairingService> pairing_;
  std::shared_ptr<PendingPairingStore> pendingStore_;
  std::shared_ptr<DeviceHistoryStore> history_;
  QString pin_;
  std::vector<PairedDevice> devices_;
  std::vector<PendingPairing> pendingRequests_;
};

}  // namespace tavelin
