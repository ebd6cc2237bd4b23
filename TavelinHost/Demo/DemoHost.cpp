#include "TavelinHost/Demo/DemoHost.hpp"

#include <chrono>
#include <ctime>

#include "TavelinHost/Capture/FrameEncoder.hpp"
#include "TavelinHost/Demo/SyntheticPicture.hpp"
#include "TavelinKit/Foundation/Json.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"
#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/NetworkAddresses.hpp"

namespace tavelin {

namespace {

// The picture size for a 1280 × 720 source under the longest-side limit.
std::pair<int, int> pictureSize(int maxFrameDimension) {
  int width = 1280, height = 720;
  if (maxFrameDimension > 0 && width > maxFrameDimension) {
    height = std::max(
        1, static_cast<int>(std::lround(height * static_cast<double>(maxFrameDimension) / width)));
    width = maxFrameDimension;
  }
  return {width, height};
}

std::string clockText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string inputJson(const InputMessage& message) {
  json::Json object{{"type", message.type},
                    {"x", message.x},
                    {"y", message.y},
                    {"dx", message.deltaX},
                    {"dy", message.deltaY}};
  if (message.text) object["text"] = *message.text;
  if (message.key) object["key"] = *message.key;
  if (message.portalId) object["portalId"] = *message.portalId;
  return json::encodeCompact(object).value_or("{}");
}

std::string printable(const std::string& name) { return unicode::removeControlAndFormat(name); }

}  // namespace

// Renders and encodes one portal's pictures on its own queue while anyone watches.
struct DemoHost::Producer {
  Producer(const DemoHost::DemoPortal& portal, const HostSettings& settings)
      : portal(portal),
        picture(pictureSize(settings.maxFrameDimension).first,
                pictureSize(settings.maxFrameDimension).second, portal.hue),
        quality(settings.jpegQuality) {}

  void tick(StreamingServer& server) {
    if (server.viewerCount(portal.id) == 0) return;  // nobody watches: no work at all
    const auto& pixels = picture.render(
        frame, portal.name + "  FRAME " + std::to_string(frame) + "  " + clockText());
    ++frame;
    const PixelSize size{picture.width(), picture.height()};
    if (auto jpeg = encoder.encode(pixels.data(), picture.stride(), picture.width(),
                                   picture.height(), size, quality)) {
      server.sendFrame(std::make_shared<const Bytes>(std::move(*jpeg)), portal.id);
    }
  }

  const DemoHost::DemoPortal portal;
  SyntheticPicture picture;
  FrameEncoder encoder;
  const double quality;
  std::uint64_t frame = 0;
  SerialQueue queue{"tavelin.capture.frames"};
  RepeatingTimer timer;
};

DemoHost::DemoHost(HostSettings settings, std::filesystem::path devicesFile,
                   std::filesystem::path webRoot, Emit emit)
    : settings_(settings),
      emit_(std::move(emit)),
      portals_{{*Uuid::parse("5A1D0C4E-0000-4000-8000-000000000001"), "Demo pattern", 0},
               {*Uuid::parse("5A1D0C4E-0000-4000-8000-000000000002"), "Demo clock", 96}},
      pairing_(std::make_shared<PairingService>(std::move(devicesFile))),
      approvals_(std::make_shared<PendingPairingStore>(pairing_)) {
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
  server_->onSessionConnected = [this](const std::shared_ptr<ClientSession>& session) {
    emit_("CONNECTED " + session->deviceID.string());
    attach(session, portals_.front());
  };
  server_->onSessionDisconnected = [this](const std::shared_ptr<ClientSession>& session) {
    emit_("DISCONNECTED " + session->deviceID.string());
  };
  server_->onInput = [this](const std::shared_ptr<ClientSession>& session,
                            const InputMessage& message) {
    emit_("INPUT " + inputJson(message));
    if (message.type != InputMessageType::selectPortal || !message.portalId) return;
    for (const auto& portal : portals_) {
      if (portal.id.string() == *message.portalId) attach(session, portal);
    }
  };

  log("Host", "Host starting");
  server_->start();
  emit_("URL http://" + NetworkAddresses::preferredLocalAddress() + ":" +
        std::to_string(server_->port()));
  emit_("PIN " + pairing_->pin());

  const int fps = std::clamp(settings_.targetFps, 1, 60);
  for (const auto& portal : portals_) {
    auto producer = std::make_shared<Producer>(portal, settings_);
    producer->timer = producer->queue.scheduleRepeating(
        std::chrono::microseconds(1'000'000 / fps),
        [raw = producer.get(), server = server_] { raw->tick(*server); });
    producers_.push_back(std::move(producer));
  }
  pinRotation_ = SerialQueue("tavelin.demo.pin").scheduleRepeating(std::chrono::seconds(1), [weak] {
    if (const auto self = weak.lock()) self->pairing_->rotatePinIfStale(PairingService::pinMaxAge);
  });
}

void DemoHost::attach(const std::shared_ptr<ClientSession>& session, const DemoPortal& portal) {
  session->setCurrentPortalID(portal.id);
  std::vector<PortalSummary> items;
  for (const auto& p : portals_) items.push_back({p.id.string(), p.name, "screenRegion"});
  session->sendText(PortalsListMessage(std::move(items), portal.id.string()).jsonString());
  const auto [width, height] = pictureSize(settings_.maxFrameDimension);
  session->sendText(PortalStateMessage(portal.id.string(), portal.name,
                                       PortalCaptureState::capturing, {width, height}, true)
                        .jsonString());
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

bool DemoHost::command(const std::string& line) {
  const auto space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const auto argument =
      space == std::string::npos ? std::nullopt : Uuid::parse(line.substr(space + 1));
  if (verb == "quit") return false;
  if (verb == "pin") {
    pairing_->regeneratePin();
  } else if (verb == "allow" && argument) {
    approvals_->approve(*argument);
  } else if (verb == "deny" && argument) {
    approvals_->deny(*argument);
  } else if (!line.empty()) {
    log("Host", "Unknown command: " + line);
  }
  return true;
}

void DemoHost::stop() {
  log("Host", "Host shutting down");
  pinRotation_.cancel();
  for (const auto& producer : producers_) {
    producer->timer.cancel();
    producer->queue.sync([] {});  // a tick in progress finishes first
  }
  server_->stop();
}

}  // namespace tavelin
