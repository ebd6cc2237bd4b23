// The pairing and session API of the streaming server: five JSON endpoints under /api/.
#include "TavelinKit/Foundation/Json.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"
#include "TavelinServer/StreamingServer.hpp"

namespace tavelin {

namespace {

HTTPResponse unauthorized() { return HTTPResponse::json({{"error", "unauthorized"}}, 401); }

}  // namespace

std::optional<PairedDevice> StreamingServer::authenticate(const HTTPRequest& request) {
  const auto value = request.header("authorization");
  if (!value || asciiLowercased(value->substr(0, 7)) != "bearer ") return std::nullopt;
  return pairing_->validate(value->substr(7));
}

HTTPResponse StreamingServer::handlePair(const HTTPRequest& request) {
  const auto body = json::parse(asText(request.body));
  const json::Json fields = body && body->is_object() ? *body : json::Json::object();
  const auto pin = json::readString(fields, "pin");
  const std::string deviceName = json::readString(fields, "deviceName").value_or("Phone");

  if (pendingPairings && requireApproval && requireApproval()) {
    switch (pairing_->verifyPin(pin)) {
      case PairingService::PinVerification::ok: {
        const Uuid id = pendingPairings->create(deviceName);
        // The name is as the phone sent it; a line break in it must not forge log lines.
        log("Pairing request awaiting approval: " + unicode::removeControls(deviceName));
        return HTTPResponse::json({{"status", "pending"}, {"requestId", id.string()}}, 202);
      }
      case PairingService::PinVerification::locked:
        return HTTPResponse::json({{"error", PairingService::lockedReason}}, 401);
      case PairingService::PinVerification::incorrect:
        log("Pairing attempt rejected");
        return HTTPResponse::json({{"error", PairingService::incorrectPinReason}}, 401);
    }
  }
  auto result = pairing_->pair(pin, deviceName);
  if (const auto* issued = std::get_if<IssuedToken>(&result)) {
    log("Device paired: " + issued->device.name);
    return HTTPResponse::json({{"token", issued->token},
                               {"deviceId", issued->device.id.string()},
                               {"deviceName", issued->device.name}});
  }
  log("Pairing attempt rejected");
  return HTTPResponse::json({{"error", std::get<PairingFailure>(result).reason}}, 401);
}

HTTPResponse StreamingServer::handlePairStatus(const HTTPRequest& request) {
  const auto parameter = request.query.find("requestId");
  const auto id = parameter == request.query.end() ? std::nullopt : Uuid::parse(parameter->second);
  if (!id || !pendingPairings) return HTTPResponse::json({{"status", "expired"}});
  const PairStatus status = pendingPairings->status(*id);
  switch (status.kind) {
    case PairStatus::Kind::pending: return HTTPResponse::json({{"status", "pending"}});
    case PairStatus::Kind::denied: return HTTPResponse::json({{"status", "denied"}});
    case PairStatus::Kind::expiredOrUnknown: return HTTPResponse::json({{"status", "expired"}});
    case PairStatus::Kind::approved:
      return HTTPResponse::json({{"status", "approved"},
                                 {"token", status.approval.token},
                                 {"deviceId", status.approval.deviceId},
                                 {"deviceName", status.approval.deviceName}});
  }
  return HTTPResponse::json({{"status", "expired"}});
}

HTTPResponse StreamingServer::handleSession(const HTTPRequest& request) {
  if (!authenticate(request)) return unauthorized();
  const PortalStateMessage state = stateProvider ? stateProvider() : PortalStateMessage::noPortal();
  HTTPResponse response = HTTPResponse::json(json::Json::object());
  response.body = toBytes(state.jsonString());
  return response;
}

HTTPResponse StreamingServer::handleTicket(const HTTPRequest& request) {
  const auto device = authenticate(request);
  if (!device) return unauthorized();
  return HTTPResponse::json({{"ticket", tickets_.issue(device->id)}});
}

HTTPResponse StreamingServer::handleUnpair(const HTTPRequest& request) {
  const auto device = authenticate(request);
  if (!device) return unauthorized();
  pairing_->revoke(device->id);
  log("Device unpaired itself: " + device->name);
  return HTTPResponse::json({{"ok", true}});
}

}  // namespace tavelin
