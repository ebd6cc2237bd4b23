#include "TavelinHost/App/PortalSharing.hpp"

#include <algorithm>

#include "TavelinHost/App/AppSettings.hpp"
#include "TavelinHost/Portals/MultiPortalController.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinKit/Model/PortalManager.hpp"
#include "TavelinKit/Model/PortalStore.hpp"

namespace tavelin {

PortalSharing::PortalSharing(const std::shared_ptr<DataFolder>& folder, const AppSettings& settings,
                             Routing routing, HostLogSink log)
    : settings_(settings),
      log_(std::move(log)),
      manager_(std::make_shared<PortalManager>(
          std::make_shared<PortalStore>(StoredFile(folder, DataFiles::portals)))),
      portals_(manager_->portals()) {
  if (const auto active = manager_->activePortal()) activePortalID_ = active->id;
  const auto main = routing.mainExecutor;
  routing_ = MultiPortalController::make(
      std::move(routing.sources), routing.server, std::move(routing.makeInput), log_,
      [manager = std::weak_ptr<PortalManager>(manager_)] {
        const auto portals = manager.lock();
        return portals ? portals->portals() : std::vector<Portal>{};
      },
      main);
  // Both run on the main executor, which drops what is still queued once the application model
  // (and this object with it) is gone.
  routing_->onChange = [this] {
    refresh();
    Q_EMIT portalStatesChanged();
  };
  routing_->onInputObserved = [main, this](const ViewerSession& session,
                                           const InputMessage& message) {
    main->post(
        [this, device = session.deviceID, message] { Q_EMIT inputReceived(device, message); });
  };
  routing_->qualityRules = [read = settings_.reader()] {
    const HostSettings current = read();
    return MultiPortalController::QualityRules{current.jpegQuality, current.phonesChooseQuality};
  };
  routing_->setDefaultPortal(manager_->activePortal());
  manager_->onChange = [main, this] {
    main->post([this] {
      reloadPortals();
      routing_->broadcastPortalList();
    });
  };
  connect(&settings_, &AppSettings::changed, this, &PortalSharing::updateRegionBorder);
  // Phones learn at once whether they may choose the quality now.
  connect(&settings_, &AppSettings::changed, this, [this] { routing_->broadcastQuality(); });
}

PortalSharing::~PortalSharing() {
  manager_->onChange = nullptr;
  routing_->shutdown();
}

std::function<PortalStateMessage()> PortalSharing::stateProvider() const {
  return [routing = std::weak_ptr<MultiPortalController>(routing_)] {
    const auto self = routing.lock();
    return self ? self->defaultStateMessage() : PortalStateMessage::noPortal();
  };
}

std::function<void(const std::string&)> PortalSharing::clipboardSender() const {
  return [routing = std::weak_ptr<MultiPortalController>(routing_)](const std::string& text) {
    if (const auto self = routing.lock()) self->sendClipboard(text);
  };
}

std::optional<Portal> PortalSharing::find(const Uuid& id) const { return manager_->find(id); }

void PortalSharing::reloadPortals() {
  auto portals = manager_->portals();
  if (portals == portals_) return;
  portals_ = std::move(portals);
  Q_EMIT portalsChanged();
}

void PortalSharing::setActive(const std::optional<Uuid>& id) {
  if (activePortalID_ == id) return;
  activePortalID_ = id;
  Q_EMIT activePortalIDChanged();
}

bool PortalSharing::setShared(const Uuid& id, bool shared) {
  auto portal = manager_->find(id);
  if (!portal) return false;
  if (portal->shared != shared) {
    portal->shared = shared;
    // The catalogue's change reaches the phones: those on a portal no longer shared leave it.
    manager_->update(*portal);
    reloadPortals();
  }
  return true;
}

void PortalSharing::activate(const Portal& portal) {
  if (!setShared(portal.id, true)) return;
  manager_->activate(portal.id);
  setActive(portal.id);
  routing_->setDefaultPortal(manager_->find(portal.id));
  refresh();
}

void PortalSharing::deactivate() {
  manager_->activate(std::nullopt);
  setActive(std::nullopt);
  routing_->setDefaultPortal(std::nullopt);
  if (captureState_ != PortalCaptureState::idle) {
    captureState_ = PortalCaptureState::idle;
    Q_EMIT captureStateChanged();
  }
  updateRegionBorder();
}

void PortalSharing::toggle(const Portal& portal) {
  const auto stored = manager_->find(portal.id);
  if (!stored) return;
  stored->shared ? stopSharing(*stored) : startSharing(*stored);
}

void PortalSharing::startSharing(const Portal& portal) {
  const bool wasShared = manager_->find(portal.id).value_or(portal).shared;
  activate(portal);
  if (!wasShared) log_("Portals", "Sharing started: " + portal.name);
}

void PortalSharing::stopSharing(const Portal& portal) {
  if (activePortalID_ == portal.id) deactivate();
  const bool wasShared = manager_->find(portal.id).value_or(portal).shared;
  if (setShared(portal.id, false) && wasShared) log_("Portals", "Sharing stopped: " + portal.name);
}

void PortalSharing::stopAllSharing() {
  deactivate();
  std::string stopped;
  for (const auto& portal : manager_->portals()) {
    if (!portal.shared) continue;
    setShared(portal.id, false);
    stopped += (stopped.empty() ? "" : ", ") + portal.name;
  }
  log_("Portals", "Sharing stopped for every portal: " +
                      (stopped.empty() ? std::string("nothing was shared") : stopped));
}

bool PortalSharing::isAnythingShared() const {
  return std::any_of(portals_.begin(), portals_.end(), [](const Portal& p) { return p.shared; });
}

QString PortalSharing::portalStateText(const Portal& portal) const {
  if (!portal.shared) return QString::fromUtf8(PortalStateMessage::notSharedText);
  const PortalCaptureState state =
      activePortalID_ == portal.id ? captureState_ : routing_->state(portal.id).first;
  if (state == PortalCaptureState::idle) return QStringLiteral("Shared, no phone watching");
  return QString::fromUtf8(statusText(state));
}

QString PortalSharing::captureStateText() const {
  if (!activePortalID_) return QStringLiteral("Nothing streaming");
  // Active and idle: shared, and nobody watches it yet.
  if (captureState_ == PortalCaptureState::idle) return QStringLiteral("Shared, no phone watching");
  return QString::fromUtf8(statusText(captureState_));
}

void PortalSharing::add(const Portal& portal) {
  manager_->add(portal);
  reloadPortals();
  log_("Portals",
       "Portal created: " + portal.name + " (" + std::string(rawValue(portal.type())) + ")");
  activate(portal);
}

void PortalSharing::update(const Portal& portal) {
  Portal changed = portal;
  // What the caller holds may be older than a start or stop since.
  if (const auto stored = manager_->find(portal.id)) changed.shared = stored->shared;
  manager_->update(changed);
  reloadPortals();
  if (activePortalID_ == portal.id) {
    routing_->setDefaultPortal(changed);
    updateRegionBorder();
  }
}

void PortalSharing::remove(const Portal& portal) {
  if (activePortalID_ == portal.id) deactivate();
  manager_->remove(portal.id);
  reloadPortals();
}

void PortalSharing::refresh() {
  const PortalCaptureState state = routing_->state(activePortalID_).first;
  if (state != captureState_) {
    captureState_ = state;
    Q_EMIT captureStateChanged();
  }
  updateRegionBorder();
}

void PortalSharing::shutdown() {
  routing_->shutdown();
  if (showRegionBorder) showRegionBorder(std::nullopt);
}

void PortalSharing::updateRegionBorder() {
  std::optional<ScreenRect> border;
  if (settings_.value().showRegionBorder && activePortalID_ &&
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

}  // namespace tavelin
