#include "TavelinHost/App/AppModel.hpp"

#include <qrencode.h>

#include <QCoreApplication>
#include <QEvent>
#include <QUrl>
#include <algorithm>
#include <mutex>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Capture/WindowStill.hpp"
#include "TavelinHost/Input/PortalInputController.hpp"
#include "TavelinKit/Dispatch/WorkerThread.hpp"
#include "TavelinServer/AppResources.hpp"
#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/NetworkAddresses.hpp"

namespace tavelin {

namespace {

// Work carried to the model's thread inside an event: made on one thread, run and destroyed on
// the other, with Qt's event queue between them.
class WorkEvent final : public QEvent {
 public:
  static QEvent::Type type() {
    static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
    return registered;
  }
  explicit WorkEvent(std::function<void()> work) : QEvent(type()), work_(std::move(work)) {}
  void run() { work_(); }

 private:
  std::function<void()> work_;
};

}  // namespace

// The settings as the server's and the captures' threads read them: a copy the main thread
// replaces whole, under a lock, whenever it changes its own.
struct AppModel::SettingsCell {
  mutable std::mutex lock;
  HostSettings value;  // guarded by lock

  HostSettings get() const {
    std::lock_guard guard(lock);
    return value;
  }
  void set(const HostSettings& settings) {
    std::lock_guard guard(lock);
    value = settings;
  }
};

// Posts to the model while it exists; the model closes the gate when it goes.
struct AppModel::MainGate {
  std::mutex lock;
  QObject* target = nullptr;  // guarded by lock
};

namespace {

class QtExecutor final : public Executor {
 public:
  explicit QtExecutor(std::shared_ptr<AppModel::MainGate> gate) : gate_(std::move(gate)) {}
  void post(std::function<void()> work) override {
    std::lock_guard guard(gate_->lock);
    if (gate_->target) QCoreApplication::postEvent(gate_->target, new WorkEvent(std::move(work)));
  }

 private:
  std::shared_ptr<AppModel::MainGate> gate_;
};

QString text(const std::string& utf8) { return QString::fromStdString(utf8); }

std::string typeName(const Portal& portal) { return std::string(rawValue(portal.type())); }

std::string sizeText(double width, double height) {
  return std::to_string(static_cast<long long>(width)) + "\u00D7" +
         std::to_string(static_cast<long long>(height));
}

}  // namespace

template <typename T, typename Signal>
void AppModel::assign(T& field, T value, Signal signal) {
  if (field == value) return;
  field = std::move(value);
  Q_EMIT(this->*signal)();
}

AppModel::AppModel(AppEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
  gate_ = std::make_shared<MainGate>();
  gate_->target = this;
  mainExecutor_ = std::make_shared<QtExecutor>(gate_);
  background_ = environment_.background ? environment_.background
                                        : std::make_shared<WorkerThread>("tavelin.probe");
  const auto& root = environment_.dataDirectory;
  std::filesystem::create_directories(root / "logs");
  log_ = HostLog::make(root / "logs", mainExecutor_, environment_.clock);
  folder_ = std::make_shared<DataFolder>(root, environment_.writer, environment_.clock);
  folder_->onLog = [log = log_](const std::string& line) { log->log("Host", line); };
  folder_->onUnsavedChange = [this] {
    onMain([](AppModel& model) {
      model.assign(model.unsavedFiles_, model.folder_->unsavedFiles(),
                   &AppModel::unsavedFilesChanged);
    });
  };
  history_ = std::make_shared<DeviceHistoryStore>(StoredFile(folder_, "device-history.json"));
  hasScreenRecording_ = environment_.capture && environment_.capture->preflightPermission();
  hasAccessibility_ = environment_.windowControl && environment_.windowControl->isTrusted();
  settings_ = HostSettings::load(StoredFile(folder_, "settings.json"));
  sharedSettings_ = std::make_shared<SettingsCell>();
  sharedSettings_->set(settings_);

  portalManager_ = std::make_shared<PortalManager>(
      std::make_shared<PortalStore>(StoredFile(folder_, "portals.json")));
  pairing_ =
      std::make_shared<PairingService>(StoredFile(folder_, "devices.json"), environment_.clock);
  pendingStore_ = std::make_shared<PendingPairingStore>(pairing_, environment_.clock);
  const HostLogSink sink = [log = log_](std::string_view category, std::string_view message) {
    log->log(std::string(category), std::string(message));
  };
  applications_ = std::make_shared<RunningApplicationCache>(environment_.applications);
  resolver_ = std::make_shared<WindowResolver>(environment_.windows, applications_, sink);
  inputService_ = std::make_shared<InputService>(
      InputService::Desktop{environment_.poster, environment_.windows, environment_.applications,
                            environment_.windowControl},
      sink);

  StreamingServerOptions options;
  options.preferredPort = settings_.port;
  options.webRoot = environment_.webRoot;
  options.localNetworkOnly = true;
  server_ = StreamingServer::make(
      pairing_, options, [log = log_](const std::string& line) { log->log("Server", line); });
  server_->pendingPairings = pendingStore_;
  // Asked on connection threads, while the user may be changing the setting.
  server_->requireApproval = [weak = std::weak_ptr<bool>(alive_), cell = sharedSettings_] {
    return weak.expired() || cell->get().requireApproval;
  };

  portals_ = portalManager_->portals();
  if (const auto active = portalManager_->activePortal()) activePortalID_ = active->id;
  devices_ = pairing_->pairedDevices();
  pin_ = text(pairing_->pin());
  logLines_ = log_->recent();
  wire();
}

bool AppModel::event(QEvent* event) {
  if (event->type() != WorkEvent::type()) return QObject::event(event);
  static_cast<WorkEvent*>(event)->run();
  return true;
}

AppModel::~AppModel() {
  {
    std::lock_guard guard(gate_->lock);
    gate_->target = nullptr;
  }
  *alive_ = false;
  alive_.reset();
  if (multiPortal_) multiPortal_->shutdown();
  if (server_->isRunning()) server_->stop();
}

void AppModel::onMain(std::function<void(AppModel&)> work) {
  mainExecutor_->post([weak = std::weak_ptr<bool>(alive_), this, work = std::move(work)] {
    if (!weak.expired()) work(*this);
  });
}

void AppModel::logLine(const std::string& category, const std::string& message) {
  log_->log(category, message);
}

std::string AppModel::localAddress() const {
  return environment_.localAddress ? environment_.localAddress()
                                   : NetworkAddresses::preferredLocalAddress();
}

void AppModel::wire() {
  portalManager_->onChange = [this] {
    onMain([](AppModel& model) {
      model.assign(model.portals_, model.portalManager_->portals(), &AppModel::portalsChanged);
      model.multiPortal().broadcastPortalList();
    });
  };
  pairing_->onDevicesChange = [this] {
    onMain([](AppModel& model) {
      model.assign(model.devices_, model.pairing_->pairedDevices(), &AppModel::devicesChanged);
    });
  };
  pairing_->onPinChange = [this] {
    onMain([](AppModel& model) {
      model.assign(model.pin_, text(model.pairing_->pin()), &AppModel::pinChanged);
    });
  };
  log_->onEntry = [weak = std::weak_ptr<bool>(alive_), this](const LogEntry& entry) {
    // Already on the main executor.
    if (weak.expired()) return;
    assign(logLines_, log_->recent(), &AppModel::logLinesChanged);
    Q_EMIT logEntryAdded(entry);
  };
  pendingStore_->onChange = [this] {
    onMain([](AppModel& model) {
      model.assign(model.pendingRequests_, model.pendingStore_->waiting(),
                   &AppModel::pendingRequestsChanged);
    });
  };
  pairing_->onDevicePaired = [this](const PairedDevice& device) {
    onMain([device](AppModel& model) {
      model.history_->record(device.id, DeviceEvent::Kind::paired, model.environment_.clock());
      Q_EMIT model.devicePaired(device);
    });
  };
  history_->onChange = [this] {
    onMain([](AppModel& model) {
      ++model.deviceHistoryVersion_;
      Q_EMIT model.deviceHistoryVersionChanged();
    });
  };
  multiPortal();
}

MultiPortalController& AppModel::multiPortal() {
  if (!multiPortal_) {
    auto settings = [cell = sharedSettings_] { return cell->get().pictures(); };
    const HostLogSink sink = [log = log_](std::string_view category, std::string_view message) {
      log->log(std::string(category), std::string(message));
    };
    auto factory = std::make_shared<PortalSourceFactory>(environment_.capture, environment_.windows,
                                                         resolver_, sink, std::move(settings));
    multiPortal_ = MultiPortalController::make(
        std::move(factory), server_, PortalInputController::maker(inputService_, sink), sink,
        [manager = std::weak_ptr<PortalManager>(portalManager_)] {
          const auto portals = manager.lock();
          return portals ? portals->portals() : std::vector<Portal>{};
        },
        mainExecutor_);
    multiPortal_->onChange = [weak = std::weak_ptr<bool>(alive_), this] {
      if (weak.expired()) return;  // on the main executor already
      refreshCaptureState();
      Q_EMIT portalStatesChanged();
    };
    multiPortal_->onInputObserved = [this](const ViewerSession& session,
                                           const InputMessage& message) {
      onMain([device = session.deviceID, message](AppModel& model) {
        Q_EMIT model.inputReceived(device, message);
      });
    };
    multiPortal_->setDefaultPortal(portalManager_->activePortal());
    server_->stateProvider = [controller = std::weak_ptr<MultiPortalController>(multiPortal_)] {
      const auto self = controller.lock();
      return self ? self->defaultStateMessage() : PortalStateMessage::noPortal();
    };
  }
  return *multiPortal_;
}

// ---- Life

void AppModel::start() {
  logLine("Host", "Host starting");
  try {
    server_->start();
    assign(serverRunning_, true, &AppModel::serverRunningChanged);
    refreshConnectionInfo();
    logLine("Host", "Server listening on port " + std::to_string(server_->port()));
  } catch (const std::exception& error) {
    setErrorMessage(QStringLiteral("Could not start the server: ") + error.what());
    logLine("Host", std::string("Network error: could not start the server: ") + error.what());
  }
  logLine("Host", std::string("Permissions: screen recording ") +
                      (hasScreenRecording_ ? "granted" : "MISSING") + ", accessibility " +
                      (hasAccessibility_ ? "granted" : "MISSING"));
  connect(&refreshTimer_, &QTimer::timeout, this, &AppModel::refreshRuntimeState);
  refreshTimer_.start(1000);
  probeReachability();
}

void AppModel::shutDown() {
  logLine("Host", "Host shutting down");
  refreshTimer_.stop();
  multiPortal().shutdown();
  removeVirtualDisplay();
  server_->stop();
  assign(serverRunning_, false, &AppModel::serverRunningChanged);
  if (showRegionBorder) showRegionBorder(std::nullopt);
  log_->flush();
}

void AppModel::refreshConnectionInfo() {
  const QString url =
      QStringLiteral("http://") + text(localAddress()) + ":" + QString::number(server_->port());
  assign(connectionURL_, url, &AppModel::connectionURLChanged);
  qrImage_ = makeQrImage(url, environment_.qrScale);
  Q_EMIT qrImageChanged();
}

void AppModel::refreshRuntimeState() {
  folder_->retryUnsaved();
  pairing_->rotatePinIfStale(pinMaxAge);
  if (--reachabilityCountdown_ < 1) {
    reachabilityCountdown_ = ticksBetweenProbes;
    probeReachability();
  }
  std::set<Uuid> connected;
  std::map<Uuid, std::uint64_t> counts;
  for (const auto& session : server_->sessions()) {
    connected.insert(session->deviceID);
    counts[session->deviceID] = session->framesSent();
  }
  if (connected != connectedDeviceIDs_) {
    const Date now = environment_.clock();
    for (const auto& id : connected) {
      if (!connectedDeviceIDs_.contains(id))
        history_->record(id, DeviceEvent::Kind::connected, now);
    }
    for (const auto& id : connectedDeviceIDs_) {
      if (!connected.contains(id)) history_->record(id, DeviceEvent::Kind::disconnected, now);
    }
    assign(connectedDeviceIDs_, std::move(connected), &AppModel::connectedDeviceIDsChanged);
  }
  assign(frameCounts_, std::move(counts), &AppModel::frameCountsChanged);
  refreshCaptureState();
  const bool screen = environment_.capture && environment_.capture->preflightPermission();
  if (screen != hasScreenRecording_) {
    logLine("Host",
            std::string("Permissions: screen recording ") + (screen ? "granted" : "revoked"));
    assign(hasScreenRecording_, screen, &AppModel::hasScreenRecordingChanged);
  }
  const bool control = environment_.windowControl && environment_.windowControl->isTrusted();
  if (control != hasAccessibility_) {
    logLine("Host", std::string("Permissions: accessibility ") + (control ? "granted" : "revoked"));
    assign(hasAccessibility_, control, &AppModel::hasAccessibilityChanged);
  }
}

void AppModel::refreshCaptureState() {
  const auto [state, size] = multiPortal().state(activePortalID_);
  assign(captureState_, state, &AppModel::captureStateChanged);
  assign(sourceSize_, size, &AppModel::sourceSizeChanged);
  updateRegionBorder();
}

void AppModel::updateRegionBorder() {
  std::optional<ScreenRect> border;
  if (settings_.showRegionBorder && activePortalID_ &&
      (captureState_ == PortalCaptureState::capturing ||
       captureState_ == PortalCaptureState::starting)) {
    const auto active = std::find_if(portals_.begin(), portals_.end(),
                                     [&](const Portal& p) { return p.id == *activePortalID_; });
    if (active != portals_.end()) {
      if (const auto* region = std::get_if<ScreenRegionPortalData>(&active->payload.value);
          region && region->showBorder) {
        border = region->region;
      }
    }
  }
  if (showRegionBorder) showRegionBorder(border);
}

void AppModel::probeReachability() {
  if (!serverRunning_) return;
  const std::string host = localAddress();
  const std::uint16_t port = server_->port();
  // The server admits phones from local networks only. An advertised address outside them
  // (a public or documentation address) means every phone would be refused, whatever the
  // firewall says, and the probe, coming from that address too, would be refused as well.
  std::error_code invalid;
  const auto address = asio::ip::make_address(host, invalid);
  const bool admitted = invalid || NetworkAddresses::isLocalAddress(address);
  background_->post([weak = std::weak_ptr<bool>(alive_), this, host, port, admitted,
                     run = environment_.runProcess] {
    const bool reachable = admitted && ReachabilityCheck::check(host, port, 3, run);
    const auto finding =
        reachable   ? FirewallStatus::Finding{FirewallStatus::Verdict::reachable, {}, {}}
        : !admitted ? FirewallStatus::Finding{FirewallStatus::Verdict::unknown, {}, {}}
                    : FirewallStatus::check(port, run);
    if (weak.expired()) return;
    onMain([reachable, admitted, finding, host, port](AppModel& model) {
      const auto previous = model.reachable_;
      const bool wasAdmitted = !model.addressRefused_;
      model.addressRefused_ = !admitted;
      model.assign(model.reachable_, std::optional(reachable), &AppModel::reachableChanged);
      model.firewallFixCommand_ = finding.fixCommand;
      model.firewallTool_ = finding.tool;
      model.assign(model.firewallVerdict_, finding.verdict, &AppModel::firewallVerdictChanged);
      if (previous == reachable && wasAdmitted == admitted) return;
      const std::string where = host + ":" + std::to_string(port);
      model.logLine("Host",
                    reachable ? "Network: the host is reachable from the network at " + where
                    : !admitted
                        ? "Network error: phones would be refused - " + host +
                              " is not on a local network, and the host admits phones only from "
                              "local networks (10.x, 172.16-31.x, 192.168.x)"
                        : "Network error: nothing on the LAN can reach " + where +
                              " - incoming connections are being dropped");
    });
  });
}

// ---- Simple state

void AppModel::setErrorMessage(std::optional<QString> message) {
  assign(errorMessage_, std::move(message), &AppModel::errorMessageChanged);
}

void AppModel::setSheet(std::optional<SheetKind> sheet) {
  // A new target is chosen only while the create sheet that chooses it is open.
  if (retargetingPortal_ && (!sheet || sheet->kind != SheetKind::Kind::create)) {
    retargetingPortal_.reset();
    Q_EMIT retargetingPortalChanged();
  }
  sheet_ = std::move(sheet);
  Q_EMIT sheetChanged();
}

void AppModel::setShowActivity(bool show) {
  assign(showActivity_, show, &AppModel::showActivityChanged);
}

void AppModel::setRequireApproval(bool required) {
  HostSettings changed = settings_;
  changed.requireApproval = required;
  updateSettings(changed);
}

void AppModel::updateSettings(const HostSettings& settings) {
  if (settings_ == settings) return;
  settings_ = settings;
  sharedSettings_->set(settings_);
  settings_.save(StoredFile(folder_, "settings.json"));  // a failure is logged and retried
  Q_EMIT settingsChanged();
  updateRegionBorder();
}

// ---- Portals

bool AppModel::setShared(const Uuid& id, bool shared) {
  auto portal = portalManager_->find(id);
  if (!portal) return false;
  if (portal->shared != shared) {
    portal->shared = shared;
    // The catalogue's change reaches the phones: those on a portal no longer shared leave it.
    portalManager_->update(*portal);
    assign(portals_, portalManager_->portals(), &AppModel::portalsChanged);
  }
  return true;
}

void AppModel::activate(const Portal& portal) {
  if (!setShared(portal.id, true)) return;
  portalManager_->activate(portal.id);
  assign(activePortalID_, std::optional(portal.id), &AppModel::activePortalIDChanged);
  multiPortal().setDefaultPortal(portalManager_->find(portal.id));
  refreshCaptureState();
}

void AppModel::deactivate() {
  portalManager_->activate(std::nullopt);
  assign(activePortalID_, std::optional<Uuid>(), &AppModel::activePortalIDChanged);
  multiPortal().setDefaultPortal(std::nullopt);
  assign(captureState_, PortalCaptureState::idle, &AppModel::captureStateChanged);
  updateRegionBorder();
}

void AppModel::toggle(const Portal& portal) {
  const auto stored = portalManager_->find(portal.id);
  if (!stored) return;
  stored->shared ? stopSharing(*stored) : startSharing(*stored);
}

void AppModel::startSharing(const Portal& portal) {
  const bool wasShared = portalManager_->find(portal.id).value_or(portal).shared;
  activate(portal);
  if (!wasShared) logLine("Portals", "Sharing started: " + portal.name);
}

void AppModel::stopSharing(const Portal& portal) {
  if (activePortalID_ == portal.id) deactivate();
  const bool wasShared = portalManager_->find(portal.id).value_or(portal).shared;
  if (setShared(portal.id, false) && wasShared)
    logLine("Portals", "Sharing stopped: " + portal.name);
}

void AppModel::stopAllSharing() {
  deactivate();
  for (const auto& portal : portalManager_->portals()) {
    if (portal.shared) setShared(portal.id, false);
  }
  logLine("Portals", "Sharing stopped for every portal");
}

bool AppModel::isAnythingShared() const {
  return std::any_of(portals_.begin(), portals_.end(), [](const Portal& p) { return p.shared; });
}

QString AppModel::portalStateText(const Portal& portal) const {
  if (!portal.shared) return QString::fromUtf8(PortalStateMessage::notSharedText);
  const PortalCaptureState state = activePortalID_ == portal.id ? captureState_
                                   : multiPortal_ ? multiPortal_->state(portal.id).first
                                                  : PortalCaptureState::idle;
  if (state == PortalCaptureState::idle) return QStringLiteral("Shared, no phone watching");
  return text(std::string(statusText(state)));
}

void AppModel::add(const Portal& portal) {
  portalManager_->add(portal);
  assign(portals_, portalManager_->portals(), &AppModel::portalsChanged);
  logLine("Portals", "Portal created: " + portal.name + " (" + typeName(portal) + ")");
  activate(portal);
}

void AppModel::update(const Portal& portal) {
  Portal changed = portal;
  // What the caller holds may be older than a start or stop since.
  if (const auto stored = portalManager_->find(portal.id)) changed.shared = stored->shared;
  portalManager_->update(changed);
  assign(portals_, portalManager_->portals(), &AppModel::portalsChanged);
  if (activePortalID_ == portal.id) {
    multiPortal().setDefaultPortal(changed);
    updateRegionBorder();
  }
}

void AppModel::remove(const Portal& portal) {
  if (activePortalID_ == portal.id) deactivate();
  portalManager_->remove(portal.id);
  assign(portals_, portalManager_->portals(), &AppModel::portalsChanged);
}

// ---- Choosing targets

void AppModel::changeTarget(const Portal& portal) {
  if (portal.type() == PortalType::screenRegion) {
    beginScreenRegionSelection(portal);
    return;
  }
  retargetingPortal_ = portal;
  Q_EMIT retargetingPortalChanged();
  setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
}

void AppModel::beginScreenRegionSelection(const std::optional<Portal>& retarget) {
  if (!presentRegionSelection) return;
  presentRegionSelection(
      [weak = std::weak_ptr<bool>(alive_), this, retarget](std::optional<ScreenRect> rect) {
        if (!weak.expired()) completeScreenRegionSelection(rect, retarget);
      });
}

void AppModel::completeScreenRegionSelection(const std::optional<ScreenRect>& rect,
                                             const std::optional<Portal>& retarget) {
  if (!rect || !(rect->width > 0) || !(rect->height > 0)) return;
  const auto display = environment_.windows
                           ? DisplayManager::displayContaining(
                                 DisplayManager::displays(*environment_.windows), *rect)
                           : std::nullopt;
  const std::uint32_t displayID = display ? display->id : 0;
  if (retarget) {
    if (const auto* old = std::get_if<ScreenRegionPortalData>(&retarget->payload.value)) {
      Portal changed = *retarget;
      changed.payload = ScreenRegionPortalData{*rect, displayID, old->showBorder};
      update(changed);
      return;
    }
  }
  add(Portal{Uuid::random(), "Screen region " + sizeText(rect->width, rect->height),
             environment_.clock(), ScreenRegionPortalData{*rect, displayID, true}});
}

namespace {

WindowTarget targetOf(const WindowInfo& window) {
  return {
      window.bundleIdentifier, window.applicationName, window.title, window.processID, window.id,
      window.frame.width,      window.frame.height};
}

}  // namespace

void AppModel::completeWindowSelection(const WindowInfo& window,
                                       const std::optional<Portal>& retarget) {
  const WindowTarget target = targetOf(window);
  if (!retarget) {
    add(Portal{Uuid::random(), window.applicationName, environment_.clock(),
               WindowPortalData{target, WindowCaptureMode::fullWindow}});
    return;
  }
  Portal changed = *retarget;
  if (auto* whole = std::get_if<WindowPortalData>(&changed.payload.value)) {
    whole->target = target;
  } else if (auto* part = std::get_if<WindowRegionPortalData>(&changed.payload.value)) {
    part->target = target;
  } else {
    return;  // a screen region has no window to change
  }
  update(changed);
}

void AppModel::completeWindowRegionSelection(const WindowInfo& window, const NormalizedRect& region,
                                             const PixelRect& pixels,
                                             const std::optional<Portal>& retarget) {
  const WindowRegionPortalData payload(targetOf(window), region, pixels,
                                       RegionResizeBehavior::scaleWithWindow);
  if (retarget) {
    Portal changed = *retarget;
    changed.payload = payload;
    update(changed);
    return;
  }
  add(Portal{Uuid::random(), window.applicationName + " region", environment_.clock(), payload});
}

// ---- Virtual display and windows

std::optional<DisplayInfo> AppModel::virtualDisplayBounds() const {
  if (!virtualDisplay_.display || !environment_.windows) return std::nullopt;
  return DisplayManager::displayFor(DisplayManager::displays(*environment_.windows),
                                    virtualDisplay_.display->displayID);
}

void AppModel::createVirtualDisplay() {
  if (!virtualDisplay_.display) {
    if (environment_.virtualDisplays) {
      virtualDisplay_.display =
          TavelinVirtualDisplay::create(*environment_.virtualDisplays, 1920, 1080, "Tavelin");
    }
    if (!virtualDisplay_.display) {
      setErrorMessage(QStringLiteral("Could not create a virtual display."));
      logLine("Host", "Virtual display: creation failed");
      return;
    }
  }
  const auto& display = *virtualDisplay_.display;
  const QString info = QString::number(display.widthPixels) + QStringLiteral(" \u00D7 ") +
                       QString::number(display.heightPixels);
  assign(virtualDisplayActive_, true, &AppModel::virtualDisplayActiveChanged);
  assign(virtualDisplayInfo_, std::optional(info), &AppModel::virtualDisplayInfoChanged);
  logLine("Host", "Virtual display created (" + info.toStdString() + ")");
}

void AppModel::removeVirtualDisplay() {
  virtualDisplay_.display.reset();
  assign(virtualDisplayActive_, false, &AppModel::virtualDisplayActiveChanged);
  assign(virtualDisplayInfo_, std::optional<QString>(), &AppModel::virtualDisplayInfoChanged);
  logLine("Host", "Virtual display removed");
}

void AppModel::createVirtualScreenRegion(const ScreenRect& rect) {
  if (!virtualDisplay_.display || !(rect.width > 0) || !(rect.height > 0)) return;
  add(Portal{Uuid::random(), "Virtual region " + sizeText(rect.width, rect.height),
             environment_.clock(),
             ScreenRegionPortalData{rect, virtualDisplay_.display->displayID, true}});
  logLine("Portals",
          "Created portal from the virtual display (" + sizeText(rect.width, rect.height) + ")");
}

void AppModel::moveWindow(const WindowInfo& window, bool toVirtual) {
  if (!environment_.windowControl || !environment_.windowControl->isTrusted()) {
    setErrorMessage(QStringLiteral("Grant Accessibility so Tavelin can move windows for you."));
    return;
  }
  ScreenPoint origin;
  if (toVirtual) {
    const auto bounds = virtualDisplayBounds();
    if (!bounds) {
      setErrorMessage(QStringLiteral("Create a virtual display first."));
      return;
    }
    origin = {bounds->bounds.x + 40, bounds->bounds.y + 40};
  } else {
    const auto home =
        environment_.windows
            ? DisplayManager::mainDisplay(DisplayManager::displays(*environment_.windows))
            : std::nullopt;
    if (!home) return;
    origin = {home->bounds.x + 80, home->bounds.y + 80};
  }
  if (WindowMover::move(*environment_.windowControl, window, origin)) {
    logLine("Host", "Moved " + window.applicationName + " " +
                        (toVirtual ? "to the virtual display" : "back to the main screen"));
  } else {
    setErrorMessage(QStringLiteral("Could not move that window. Make sure it is still open."));
  }
}

// ---- Phones

bool AppModel::approve(const Uuid& requestID) {
  const bool made = pendingStore_->approve(requestID) == PendingPairingStore::Decision::made;
  assign(pendingRequests_, pendingStore_->waiting(), &AppModel::pendingRequestsChanged);
  if (made) logLine("Pairing", "Connection approved");
  return made;
}

bool AppModel::deny(const Uuid& requestID) {
  const bool made = pendingStore_->deny(requestID) == PendingPairingStore::Decision::made;
  assign(pendingRequests_, pendingStore_->waiting(), &AppModel::pendingRequestsChanged);
  if (made) logLine("Pairing", "Connection denied");
  return made;
}

void AppModel::newPin() { pairing_->regeneratePin(); }

void AppModel::revoke(const Uuid& deviceID) {
  pairing_->revoke(deviceID);
  history_->removeAll(deviceID);
  server_->disconnectAll();
}

void AppModel::revokeAll() {
  pairing_->revokeAll();
  history_->removeAll();
  server_->disconnectAll();
}

void AppModel::clearHistory(const Uuid& deviceID) { history_->removeAll(deviceID); }

std::vector<DeviceEvent> AppModel::history(const Uuid& deviceID) const {
  return history_->events(deviceID);
}

void AppModel::copyLink() {
  if (copyText) copyText(connectionURL_);
}

void AppModel::openInBrowser() {
  const QUrl url(connectionURL_, QUrl::StrictMode);
  if (url.isValid() && !url.host().isEmpty() && openURL) openURL(connectionURL_);
}

void AppModel::listWindows(std::function<void(std::vector<WindowInfo>)> done) {
  if (!environment_.capture || !environment_.windows) {
    onMain([done = std::move(done)](AppModel&) { done({}); });
    return;
  }
  // The desktop answers synchronously and may take a while: not on the main thread.
  background_->post([weak = std::weak_ptr<bool>(alive_), mainExecutor = mainExecutor_,
                     capture = environment_.capture, own = environment_.windows->ownProcessID(),
                     done = std::move(done)]() mutable {
    WindowEnumerator::windows(
        *capture, own,
        [weak, mainExecutor, done = std::move(done)](std::vector<WindowInfo> windows) mutable {
          mainExecutor->post([weak, done = std::move(done), windows = std::move(windows)] {
            if (!weak.expired()) done(windows);
          });
        });
  });
}

void AppModel::captureWindowStill(std::uint32_t windowID, std::function<void(QImage)> done) {
  WindowStill::capture(environment_.capture, windowID, mainExecutor_,
                       [weak = std::weak_ptr<bool>(alive_),
                        done = std::move(done)](std::optional<LiveDisplayPreview::Image> still) {
                         if (!weak.expired()) done(still ? pictureImage(*still) : QImage());
                       });
}

// ---- Derived

std::vector<HostIssue> AppModel::issues() const {
  std::vector<HostIssue> banners;
  using Verdict = FirewallStatus::Verdict;
  const QString title = QStringLiteral("Your phone cannot reach this computer");
  const QString command = text(firewallFixCommand_);
  const QString firewall =
      firewallTool_.empty() ? QStringLiteral("the firewall") : text(firewallTool_);
  if (firewallVerdict_ == Verdict::blocked || firewallVerdict_ == Verdict::notListed) {
    banners.push_back({HostIssue::Kind::firewall, title,
                       QStringLiteral("The server is running, but ") + firewall +
                           QStringLiteral(" is dropping incoming connections to it. Allow its "
                                          "port once with the command below and everything "
                                          "works."),
                       QStringLiteral("network-error"), HostIssue::Tone::error,
                       QStringLiteral("Copy Command"),
                       command.isEmpty() ? std::nullopt : std::optional(command)});
  } else if (firewallVerdict_ == Verdict::blockAll) {
    banners.push_back({HostIssue::Kind::firewall, title,
                       firewall.left(1).toUpper() + firewall.mid(1) +
                           QStringLiteral(" is set to block all incoming connections. Allow the "
                                          "port with the command below to let your phone reach "
                                          "this computer."),
                       QStringLiteral("network-error"), HostIssue::Tone::error,
                       QStringLiteral("Copy Command"),
                       command.isEmpty() ? std::nullopt : std::optional(command)});
  }
  if (addressRefused_) {
    banners.push_back(
        {HostIssue::Kind::address, QStringLiteral("Phones would be refused"),
         QStringLiteral("This computer's address, ") + text(localAddress()) +
             QStringLiteral(", is not on a local network, and Tavelin lets in "
                            "phones only from local networks (10.x, 172.16\u201331.x, "
                            "192.168.x). Join your home or office network."),
         QStringLiteral("network-error"), HostIssue::Tone::error, QString(), std::nullopt});
  }
  if (!unsavedFiles_.empty()) {
    QStringList names;
    for (const auto& name : unsavedFiles_) names << text(name);
    banners.push_back(
        {HostIssue::Kind::storage, QStringLiteral("Tavelin cannot save its files"),
         names.join(QStringLiteral(", ")) + QStringLiteral(" could not be written to ") +
             text(folder_->root().string()) +
             QStringLiteral(". The changes are kept and saved again every second; make room on "
                            "the disk or let Tavelin write to the folder."),
         QStringLiteral("drive-harddisk"), HostIssue::Tone::error, QString(), std::nullopt});
  }
  // X11 has neither permission: those banners are never raised there.
  if (!hasScreenRecording_ && environment_.capture && environment_.capture->isAvailable()) {
    banners.push_back({HostIssue::Kind::screenRecording,
                       QStringLiteral("Screen Recording permission needed"),
                       QStringLiteral("Tavelin needs it to show the portal you choose on your "
                                      "phone; nothing is captured until you start a portal."),
                       QStringLiteral("camera-video"), HostIssue::Tone::warning,
                       QStringLiteral("Open Settings"), std::nullopt});
  }
  return banners;
}

QString AppModel::hostAndPort() const {
  const QUrl url(connectionURL_, QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty()) return connectionURL_;
  return url.port() >= 0 ? url.host() + ":" + QString::number(url.port()) : url.host();
}

bool AppModel::canShare() const {
  const QUrl url(connectionURL_, QUrl::StrictMode);
  return serverRunning_ && url.isValid() && !url.host().isEmpty();
}

QString AppModel::captureStateText() const {
  if (!activePortalID_) return QStringLiteral("Nothing streaming");
  switch (captureState_) {
    case PortalCaptureState::idle: return QStringLiteral("No portal active");
    case PortalCaptureState::starting: return QStringLiteral("Starting capture\u2026");
    case PortalCaptureState::capturing: return QStringLiteral("Capturing");
    case PortalCaptureState::windowUnavailable:
      return QStringLiteral("Waiting for application\u2026");
    case PortalCaptureState::windowMinimized: return QStringLiteral("Window minimized");
    case PortalCaptureState::sourceUnavailable: return QStringLiteral("Screen region unavailable");
    case PortalCaptureState::permissionRequired:
      return QStringLiteral("Screen Recording permission required");
    case PortalCaptureState::error: return QStringLiteral("Capture error");
    case PortalCaptureState::unsupported: return QStringLiteral("Screen capture is not available");
  }
  return {};
}

QImage pictureImage(const LiveDisplayPreview::Image& picture) {
  using Pixels = std::shared_ptr<const std::vector<std::uint8_t>>;
  if (!picture.pixels) return {};
  // The image holds on to the pixels; BGRX bytes are what Qt calls RGB32 on little-endian.
  return QImage(
      picture.pixels->data(), static_cast<int>(picture.size.width),
      static_cast<int>(picture.size.height), picture.stride, QImage::Format_RGB32,
      [](void* held) { delete static_cast<Pixels*>(held); }, new Pixels(picture.pixels));
}

// ---- QR codes

namespace {

struct QrModules {
  int width = 0;
  std::vector<bool> dark;
};

std::optional<QrModules> encodeQr(const std::string& utf8) {
  QRcode* code =
      QRcode_encodeData(static_cast<int>(utf8.size()),
                        reinterpret_cast<const unsigned char*>(utf8.data()), 0, QR_ECLEVEL_H);
  if (code == nullptr) return std::nullopt;
  constexpr int quiet = 4;
  QrModules modules;
  modules.width = code->width + 2 * quiet;
  modules.dark.assign(static_cast<std::size_t>(modules.width * modules.width), false);
  for (int y = 0; y < code->width; ++y) {
    for (int x = 0; x < code->width; ++x) {
      modules.dark[static_cast<std::size_t>((y + quiet) * modules.width + x + quiet)] =
          (code->data[y * code->width + x] & 1) != 0;
    }
  }
  QRcode_free(code);
  return modules;
}

}  // namespace

QImage makeQrImage(const QString& content, int scale) {
  const auto modules = encodeQr(content.toStdString());
  if (!modules || scale < 1) return {};
  QImage image(modules->width * scale, modules->width * scale, QImage::Format_Grayscale8);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = image.scanLine(y);
    for (int x = 0; x < image.width(); ++x) {
      line[x] = modules->dark[static_cast<std::size_t>((y / scale) * modules->width + x / scale)]
                    ? 0
                    : 255;
    }
  }
  return image;
}

std::string terminalQrCode(const std::string& content) {
  const auto modules = encodeQr(content);
  if (!modules) return {};
  auto dark = [&](int x, int y) {
    return y < modules->width && modules->dark[static_cast<std::size_t>(y * modules->width + x)];
  };
  std::string art;
  for (int y = 0; y < modules->width; y += 2) {
    for (int x = 0; x < modules->width; ++x) {
      const bool top = dark(x, y), bottom = dark(x, y + 1);
      // Light modules are drawn, dark ones left blank: readable on dark terminals, where
      // scanners expect dark modules on light ground once the colours are inverted back.
      art += !top && !bottom ? "\u2588" : !top ? "\u2580" : !bottom ? "\u2584" : " ";
    }
    art += '\n';
  }
  return art;
}

}  // namespace tavelin
