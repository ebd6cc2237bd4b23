#include "TavelinKit/Model/Portal.hpp"

#include <cstdio>

#include "TavelinKit/Foundation/Json.hpp"

namespace tavelin {

using json::Json;

std::string WindowTarget::displayName() const {
  if (titleHint.empty()) return applicationName;
  return applicationName + " \u2014 " + titleHint;
}

PortalType PortalPayload::type() const {
  switch (value.index()) {
    case 0: return PortalType::screenRegion;
    case 1: return PortalType::window;
    default: return PortalType::windowRegion;
  }
}

std::optional<WindowTarget> PortalPayload::windowTarget() const {
  if (const auto* window = std::get_if<WindowPortalData>(&value)) return window->target;
  if (const auto* region = std::get_if<WindowRegionPortalData>(&value)) return region->target;
  return std::nullopt;
}

std::string Portal::typeText() const {
  switch (type()) {
    case PortalType::screenRegion: return "Screen region";
    case PortalType::window: return "Window";
    case PortalType::windowRegion: return "Window region";
  }
  return {};
}

std::string Portal::summary() const {
  if (const auto* screen = std::get_if<ScreenRegionPortalData>(&payload.value)) {
    return "Screen region " + screen->region.description();
  }
  if (const auto* window = std::get_if<WindowPortalData>(&payload.value)) {
    return "Window \u00B7 " + window->target.displayName();
  }
  const auto& region = std::get<WindowRegionPortalData>(payload.value);
  char size[96];
  std::snprintf(size, sizeof size, "%.2f\u00D7%.2f", region.region.width, region.region.height);
  return "Window region \u00B7 " + region.target.displayName() + " \u00B7 " + size + " of window";
}

// JSON form.

namespace {

Json toJson(const WindowTarget& t) {
  return Json{{"bundleIdentifier", t.bundleIdentifier},
              {"applicationName", t.applicationName},
              {"titleHint", t.titleHint},
              {"processID", t.processID},
              {"windowID", t.windowID},
              {"capturedWidth", t.capturedWidth},
              {"capturedHeight", t.capturedHeight}};
}

Json toJson(const PortalPayload& payload) {
  const std::string kind(rawValue(payload.type()));
  Json record;
  if (const auto* screen = std::get_if<ScreenRegionPortalData>(&payload.value)) {
    record = Json{{"region", tavelin::toJson(screen->region)},
                  {"displayID", screen->displayID},
                  {"showBorder", screen->showBorder}};
  } else if (const auto* window = std::get_if<WindowPortalData>(&payload.value)) {
    record =
        Json{{"target", toJson(window->target)}, {"captureMode", rawValue(window->captureMode)}};
  } else {
    const auto& region = std::get<WindowRegionPortalData>(payload.value);
    record = Json{{"target", toJson(region.target)},
                  {"captureMode", rawValue(region.captureMode)},
                  {"region", tavelin::toJson(region.region)},
                  {"originalPixelRegion", tavelin::toJson(region.originalPixelRegion)},
                  {"resizeBehavior", rawValue(region.resizeBehavior)}};
  }
  return Json{{"kind", kind}, {kind, std::move(record)}};
}

template <typename Enum>
std::optional<Enum> readEnum(const Json& object, std::string_view key) {
  const auto raw = json::readString(object, key);
  return raw ? fromRawValue<Enum>(*raw) : std::nullopt;
}

std::optional<WindowTarget> windowTargetFromJson(const Json& j) {
  auto bundleIdentifier = json::readString(j, "bundleIdentifier");
  auto applicationName = json::readString(j, "applicationName");
  auto titleHint = json::readString(j, "titleHint");
  const auto processID = json::readInteger<std::int32_t>(j, "processID");
  const auto windowID = json::readInteger<std::uint32_t>(j, "windowID");
  const auto capturedWidth = json::readDouble(j, "capturedWidth");
  const auto capturedHeight = json::readDouble(j, "capturedHeight");
  if (!bundleIdentifier || !applicationName || !titleHint || !processID || !windowID ||
      !capturedWidth || !capturedHeight) {
    return std::nullopt;
  }
  return WindowTarget{std::move(*bundleIdentifier),
                      std::move(*applicationName),
                      std::move(*titleHint),
                      *processID,
                      *windowID,
                      *capturedWidth,
                      *capturedHeight};
}

std::optional<PortalPayload> payloadFromJson(const Json& j) {
  const auto kind = readEnum<PortalType>(j, "kind");
  if (!kind) return std::nullopt;
  const Json* record = json::member(j, rawValue(*kind));
  if (record == nullptr || !record->is_object()) return std::nullopt;
  switch (*kind) {
    case PortalType::screenRegion: {
      const Json* regionJson = json::member(*record, "region");
      const auto region = regionJson ? screenRectFromJson(*regionJson) : std::nullopt;
      const auto displayID = json::readInteger<std::uint32_t>(*record, "displayID");
      const auto showBorder = json::readBool(*record, "showBorder");
      if (!region || !displayID || !showBorder) return std::nullopt;
      return ScreenRegionPortalData{*region, *displayID, *showBorder};
    }
    case PortalType::window: {
      const Json* target = json::member(*record, "target");
      auto window = target ? windowTargetFromJson(*target) : std::nullopt;
      const auto mode = readEnum<WindowCaptureMode>(*record, "captureMode");
      if (!window || !mode) return std::nullopt;
      return WindowPortalData{std::move(*window), *mode};
    }
    case PortalType::windowRegion: {
      const Json* target = json::member(*record, "target");
      auto window = target ? windowTargetFromJson(*target) : std::nullopt;
      const auto mode = readEnum<WindowCaptureMode>(*record, "captureMode");
      const Json* regionJson = json::member(*record, "region");
      const auto region = regionJson ? normalizedRectFromJson(*regionJson) : std::nullopt;
      const Json* pixelJson = json::member(*record, "originalPixelRegion");
      const auto pixels = pixelJson ? pixelRectFromJson(*pixelJson) : std::nullopt;
      const auto behavior = readEnum<RegionResizeBehavior>(*record, "resizeBehavior");
      if (!window || !mode || !region || !pixels || !behavior) return std::nullopt;
      return WindowRegionPortalData{std::move(*window), *region, *pixels, *behavior, *mode};
    }
  }
  return std::nullopt;
}

}  // namespace

Json toJson(const Portal& portal) {
  return Json{{"id", portal.id.string()},
              {"name", portal.name},
              {"createdAt", formatISO8601(portal.createdAt)},
              {"payload", toJson(portal.payload)},
              {"shared", portal.shared}};
}

std::optional<Portal> portalFromJson(const Json& j) {
  const auto idText = json::readString(j, "id");
  const auto id = idText ? Uuid::parse(*idText) : std::nullopt;
  auto name = json::readString(j, "name");
  const auto createdText = json::readString(j, "createdAt");
  const auto createdAt = createdText ? parseISO8601(*createdText) : std::nullopt;
  const Json* payloadJson = json::member(j, "payload");
  auto payload = payloadJson ? payloadFromJson(*payloadJson) : std::nullopt;
  const bool hasShared = json::member(j, "shared") != nullptr;
  const auto shared = hasShared ? json::readBool(j, "shared") : std::optional(true);
  if (!id || !name || !createdAt || !payload || !shared) return std::nullopt;
  return Portal{*id, std::move(*name), *createdAt, std::move(*payload), *shared};
}

std::optional<std::string> encodePortalList(const std::vector<Portal>& portals) {
  return json::encodeArray(portals, [](const Portal& portal) { return toJson(portal); });
}

std::optional<std::vector<Portal>> decodePortalList(std::string_view text) {
  return json::decodeArray<Portal>(text, portalFromJson);
}

}  // namespace tavelin
