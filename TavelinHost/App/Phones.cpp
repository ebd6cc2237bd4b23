#include "TavelinHost/App/Phones.hpp"

#include <algorithm>

#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinKit/Pairing/PairingService.hpp"

namespace tavelin {

Phones::Phones(const std::shared_ptr<DataFolder>& folder, Clock clock,
               std::shared_ptr<Executor> mainExecutor, HostLogSink log)
    : clock_(std::move(clock)),
      mainExecutor_(std::move(mainExecutor)),
      log_(std::move(log)),
      pairing_(std::make_shared<PairingService>(StoredFile(folder, DataFiles::devices), clock_)),
      pendingStore_(std::make_shared<PendingPairingStore>(pairing_, clock_)),
      history_(std::make_shared<DeviceHistoryStore>(StoredFile(folder, DataFiles::deviceHistory))),
      pin_(QString::fromStdString(pairing_->pin())),
      devices_(pairing_->pairedDevices()) {
  // The stores call back on the threads that changed them, and may outlive these phones (the
  // server holds them): the callbacks touch only what they captured, and what they post runs on
  // the main thread, which drops it once the application model, and these phones, are gone.
  pairing_->onDevicesChange = [main = mainExecutor_, this] {
    main->post([this] {
      devices_ = pairing_->pairedDevices();
      Q_EMIT devicesChanged();
    });
  };
  pairing_->onPinChange = [main = mainExecutor_, this] {
    main->post([this] {
      pin_ = QString::fromStdString(pairing_->pin());
      Q_EMIT pinChanged();
    });
  };
  pairing_->onDevicePaired = [main = mainExecutor_, this](const PairedDevice& device) {
    main->post([this, device] {
      history_->record(device.id, DeviceEvent::Kind::paired, clock_());
      Q_EMIT devicePaired(device);
    });
  };
  pendingStore_->onChange = [main = mainExecutor_, this] {
    main->post([this] {
      pendingRequests_ = pendingStore_->waiting();
      Q_EMIT pendingRequestsChanged();
    });
  };
  history_->onChange = [main = mainExecutor_, this] {
    main->post([this] { Q_EMIT historyChanged(); });
  };
}

Phones::~Phones() = default;

const PairedDevice* Phones::device(const Uuid& id) const {
  const auto found = std::find_if(devices_.begin(), devices_.end(),
                                  [&](const PairedDevice& d) { return d.id == id; });
  return found == devices_.end() ? nullptr : &*found;
}

std::string Phones::deviceName(const Uuid& id) const {
  const PairedDevice* found = device(id);
  return found ? found->name : id.string();
}

std::vector<DeviceEvent> Phones::history(const Uuid& deviceID) const {
  return history_->events(deviceID);
}

PendingPairingStore::Decision Phones::approve(const Uuid& requestID) {
  const auto decision = pendingStore_->approve(requestID);
  pendingRequests_ = pendingStore_->waiting();
  Q_EMIT pendingRequestsChanged();
  if (decision == PendingPairingStore::Decision::made) log_("Pairing", "Connection approved");
  return decision;
}

PendingPairingStore::Decision Phones::deny(const Uuid& requestID) {
  const auto decision = pendingStore_->deny(requestID);
  pendingRequests_ = pendingStore_->waiting();
  Q_EMIT pendingRequestsChanged();
  if (decision == PendingPairingStore::Decision::made) log_("Pairing", "Connection denied");
  return decision;
}

void Phones::newPin() { pairing_->regeneratePin(); }

void Phones::revoke(const Uuid& deviceID) {
  pairing_->revoke(deviceID);
  history_->removeAll(deviceID);
  if (onRevoked) onRevoked();
}

void Phones::revokeAll() {
  pairing_->revokeAll();
  history_->removeAll();
  if (onRevoked) onRevoked();
}

void Phones::clearHistory(const Uuid& deviceID) { history_->removeAll(deviceID); }

void Phones::tick() { pairing_->rotatePinIfStale(PairingService::pinMaxAge); }

void Phones::recordConnections(const std::set<Uuid>& before, const std::set<Uuid>& now) {
  const Date at = clock_();
  for (const auto& id : now) {
    if (!before.contains(id)) history_->record(id, DeviceEvent::Kind::connected, at);
  }
  for (const auto& id : before) {
    if (!now.contains(id)) history_->record(id, DeviceEvent::Kind::disconnected, at);
  }
}

}  // namespace tavelin
