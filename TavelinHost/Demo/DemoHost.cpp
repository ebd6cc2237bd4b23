#include "TavelinHost/Demo/DemoHost.hpp"

#include "TavelinHost/Demo/SyntheticSource.hpp"
#include "TavelinHost/Input/InputService.hpp"
#include "TavelinHost/Input/PortalInputController.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"
#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/NetworkAddresses.hpp"

namespace tavelin {

namespace {

std::string printable(const std::string& name) { return unicode::removeControls(name); }

// The server as the routing sees it, announcing phones and their messages on the way through.
class AnnouncingViewerServer final : public ViewerServer {
 public:
  AnnouncingViewerServer(std::shared_ptr<StreamingServer> server, DemoHost::Emit emit)
      : server_(std::move(server)), emit_(std::move(emit)) {}

  void setViewerHandlers(ViewerHandlers handlers) override {
    server_->setViewerHandlers({
        [emit = emit_, next = handlers.onConnected](const std::shared_ptr<ViewerSession>& s) {
          emit("CONNECTED " + s->deviceID.string());
          next(s);
        },
        [emit = emit_, next = handlers.onDisconnected](const std::shared_ptr<ViewerSession>& s) {
          emit("DISCONNECTED " + s->deviceID.string());
          next(s);
        },
        [emit = emit_, next = handlers.onInput](const std::shared_ptr<ViewerSession>& s,
                                                const InputMessage& message) {
          emit("INPUT " + message.jsonString());
          next(s, message);
        },
    });
  }
  std::vector<std::shared_ptr<ViewerSession>> viewerSessions() const override {
    return server_->viewerSessions();
  }
  void sendFrame(std::shared_ptr<const Bytes> jpeg, const Uuid& portal) override {
    server_->sendFrame(std::move(jpeg), portal);
  }
  std::size_t viewerCount(const Uuid& portal) const override {
    return server_->viewerCount(portal);
  }

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
      pairing_(std::make_shared<PairingService>(StoredFile(folder_, "devices.json"))),
      approvals_(std::make_shared<PendingPairingStore>(pairing_)),
      portals_(desktop_ ? desktop_->portals
                        : std::vector<Portal>{
                              demoPortal("5A1D0C4E-0000-4000-8000-000000000001", "Demo pattern"),
                              demoPortal("5A1D0C4E-0000-4000-8000-000000000002", "Demo clock")}) {
  StreamingServerOptions options;
  options.preferredPort = settings_.port;
  options.webRoot = std::move(webRoot);
  server_ = StreamingServer::make(pairing_, options,
                                  [this](const std::string& line) { log("Server", line); });
}

void DemoHost::log(const std::string& category, const std::string& message) {
  emit_("LOG [" + category + "] " + printable(message));
}

void DemoHost::start() {
  auto weak = weak_from_this();
  pairing_->onPinChange = [this] { emit_("PIN " + pairing_->pin()); };
  pairing_->onDevicePaired = [this](const PairedDevice& device) {
    emit_("PAIRED " + device.id.string() + " " + printable(device.name));
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
  emit_("URL http://" + NetworkAddresses::preferredLocalAddress() + ":" +
        std::to_string(server_->port()));
  emit_("PIN " + pairing_->pin());

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
    emit_("REQUEST " + request.id.string() + " " + printable(request.deviceName));
  }
}

std::vector<Portal> DemoHost::portals() const {
  std::lock_guard guard(lock_);
  return portals_;
}

bool DemoHost::setShared(const std::optional<Uuid>& id, bool shared) {
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

bool DemoHost::command(const std::string& line) {
  const auto space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  const auto argument = Uuid::parse(rest);
  if (verb == "quit") return false;
  if (verb == "pin" && rest.empty()) {
    pairing_->regeneratePin();
    emit_("OK");
  } else if ((verb == "allow" || verb == "deny") && argument) {
    const auto decision =
        verb == "allow" ? approvals_->approve(*argument) : approvals_->deny(*argument);
    switch (decision) {
      case PendingPairingStore::Decision::made: emit_("OK"); break;
      case PendingPairingStore::Decision::alreadyMade:
        emit_("ERROR request " + rest + " was already answered");
        break;
      case PendingPairingStore::Decision::unknown: emit_("ERROR no waiting request " + rest); break;
    }
  } else if (verb == "portals" && rest.empty()) {
    const auto all = portals();
    emit_("OK portals " + std::to_string(all.size()));
    for (const auto& portal : all) {
      emit_("OK portal " + portal.id.string() + " " + std::string(rawValue(portal.type())) + " " +
            printable(portal.name) + (portal.shared ? " (shared)" : " (not shared)"));
    }
  } else if (verb == "stop" && rest == "all") {
    setShared(std::nullopt, false);
    emit_("OK");
  } else if ((verb == "start" || verb == "stop") && !rest.empty()) {
    if (argument && setShared(argument, verb == "start")) {
      emit_("OK");
    } else {
      emit_("ERROR no portal " + rest + " (see: portals)");
    }
  } else if (!line.empty()) {
    emit_("ERROR unknown command: " + printable(line));
  }
  return true;
}

void DemoHost::stop() {
  log("Host", "Host shutting down");
  pinRotation_.cancel();
  controller_->shutdown();
  server_->stop();
}

}  // namespace tavelin
