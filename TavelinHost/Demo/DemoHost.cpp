#include "TavelinHost/Demo/DemoHost.hpp"

#include "TavelinHost/Demo/SyntheticSource.hpp"
#include "TavelinHost/Input/InputService.hpp"
#include "TavelinHost/Input/PortalInputController.hpp"
#include "TavelinHost/Runtime/HostLines.hpp"
#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/NetworkAddresses.hpp"

namespace tavelin {

namespace {

// The server as the routing sees it, announcing phones and their messages on the way through.
class AnnouncingViewerServer final : public ViewerServer {
 public:
  AnnouncingViewerServer(std::shared_ptr<StreamingServer> server, DemoHost::Emit emit)
      : server_(std::move(server)), emit_(std::move(emit)) {}

  void setViewerHandlers(ViewerHandlers handlers) override {
    server_->setViewerHandlers({
        [emit = emit_, next = handlers.onConnected](const std::shared_ptr<ViewerSession>& s) {
          emit(hostLines::connected(s->deviceID));
          next(s);
        },
        [emit = emit_, next = handlers.onDisconnected](const std::shared_ptr<ViewerSession>& s) {
          emit(hostLines::disconnected(s->deviceID));
          next(s);
        },
        [emit = emit_, next = handlers.onInput](const std::shared_ptr<ViewerSession>& s,
                                                const InputMessage& message) {
          emit(hostLines::input(message));
          next(s, message);
        },
        handlers.onPictureWanted,
    });
  }
  std::vector<std::shared_ptr<ViewerSession>> viewerSessions() const override {
    return server_->viewerSessions();
  }
  void sendFrame(const CapturedFrame& frame, const Uuid& portal) override {
    server_->sendFrame(frame, portal);
  }
  std::vector<std::optional<PortalView>> views(const Uuid& portal) const override {
    return server_->views(portal);
  }
  std::size_t viewerCount(const Uuid& portal) const override {
    return server_->viewerCount(portal);
  }
  PictureDue pictureDue(const Uuid& portal) const override { return server_->pictureDue(portal); }

 private:
  const std::shared_ptr<StreamingServer> server_;
  const DemoHost::Emit emit_;
};

Portal demoPortal(const char* id, const char* name) {
  return Portal{*Uuid::parse(id), name, {}, ScreenRegionPortalData{{0, 0, 1280, 720}, 0, false}};
}

}  // namespace

DemoHost::DemoHost(HostSettings settings, std::shared_ptr<DataFolder> folder,
                   std::filesystem::path webRoot, Emit emit, std::optional<Desktop> desktop)
    : settings_(settings),
      folder_(std::move(folder)),
      emit_(std::move(emit)),
      desktop_(std::move(desktop)),
      commands_(emit_),
      pairing_(std::make_shared<PairingService>(StoredFile(folder_, "devices.json"))),
      approvals_(std::make_shared<PendingPairingStore>(pairing_)),
      portals_(desktop_ ? desktop_->portals
                        : std::vector<Portal>{
                              demoPortal("5A1D0C4E-0000-4000-8000-000000000001", "Demo pattern"),
                              demoPortal("5A1D0C4E-0000-4000-8000-000000000002", "Demo clock")}) {
  StreamingServerOptions options;
  options.preferredPort = settings_.port;
  options.webRoot = std::move(webRoot);
  // The server, the stores and the controller call back on their own threads until stop(),
  // which closes every connection and waits for them; the owner stops this host before it lets
  // go of it, so `this` outlives every callback below.
  server_ = StreamingServer::make(pairing_, options,
                                  [this](const std::string& line) { log("Server", line); });
  addSharingCommands(commands_, *this);
}

void DemoHost::log(const std::string& category, const std::string& message) {
  emit_(hostLines::log(category, message));
}

void DemoHost::start() {
  auto weak = weak_from_this();
  pairing_->onPinChange = [this] { emit_(hostLines::pin(pairing_->pin())); };
  pairing_->onDevicePaired = [this](const PairedDevice& device) {
    emit_(hostLines::paired(device.id, device.name));
  };
  approvals_->onChange = [this] { announceRequests(); };
  server_->pendingPairings = approvals_;
  server_->requireApproval = [approval = settings_.requireApproval] { return approval; };
  InputService::Desktop desktop{std::make_shared<DescribingEventPoster>(emit_), {}, {}, {}};
  std::shared_ptr<const PortalSourceMaking> factory =
      std::make_shared<SyntheticSourceFactory>(settings_.pictures());
  if (desktop_) {
    desktop = desktop_->input;
    desktop.poster = std::make_shared<DescribingEventPoster>(emit_, desktop_->input.poster);
    factory = desktop_->factory;
  }
  const HostLogSink sink = [this](std::string_view category, std::string_view message) {
    log(std::string(category), std::string(message));
  };
  controller_ = MultiPortalController::make(
      std::move(factory), std::make_shared<AnnouncingViewerServer>(server_, emit_),
      PortalInputController::maker(std::make_shared<InputService>(desktop, sink), sink), sink,
      [this] { return portals(); }, nullptr);

  log("Host", "Host starting");
  server_->start();
  emit_(hostLines::url("http://" + NetworkAddresses::preferredLocalAddress() + ":" +
                       std::to_string(server_->port())));
  emit_(hostLines::pin(pairing_->pin()));

  pinRotation_ = SerialQueue("tavelin.demo.pin").scheduleRepeating(std::chrono::seconds(1), [weak] {
    if (const auto self = weak.lock()) {
      self->folder_->retryUnsaved();
      self->pairing_->rotatePinIfStale(PairingService::pinMaxAge);
    }
  });
}

void DemoHost::announceRequests() {
  std::vector<PendingPairing> fresh;
  {
    std::lock_guard guard(lock_);
    for (const auto& request : approvals_->waiting()) {
      if (announced_.insert(request.id).second) fresh.push_back(request);
    }
  }
  for (const auto& request : fresh) {
    emit_(hostLines::request(request.id, request.deviceName));
  }
}

std::vector<Portal> DemoHost::portals() const {
  std::lock_guard guard(lock_);
  return portals_;
}

bool DemoHost::share(const std::optional<Uuid>& id, bool shared) {
  bool found = false;
  {
    std::lock_guard guard(lock_);
    for (auto& portal : portals_) {
      if (id && portal.id != *id) continue;
      portal.shared = shared;
      found = true;
    }
  }
  if (found) controller_->broadcastPortalList();
  return found;
}

void DemoHost::newPin() { pairing_->regeneratePin(); }

PendingPairingStore::Decision DemoHost::answer(const Uuid& request, bool allow) {
  return allow ? approvals_->approve(request) : approvals_->deny(request);
}

std::vector<SharingHost::PortalEntry> DemoHost::portalEntries() const {
  std::vector<PortalEntry> entries;
  for (auto& portal : portals()) entries.push_back({std::move(portal), false});
  return entries;
}

bool DemoHost::setShared(const Uuid& portal, bool shared) { return share(portal, shared); }

void DemoHost::stopAllSharing() { share(std::nullopt, false); }

void DemoHost::stop() {
  log("Host", "Host shutting down");
  pinRotation_.cancel();
  controller_->shutdown();
  server_->stop();
}

}  // namespace tavelin
