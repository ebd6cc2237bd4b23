#include "TavelinKit/Model/ViewerMessages.hpp"

#include <cmath>

#include "TavelinKit/Foundation/Json.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin {

using json::Json;

std::string_view rawValue(SpecialKey key) {
  switch (key) {
    case SpecialKey::enter: return "enter";
    case SpecialKey::backspace: return "backspace";
    case SpecialKey::tab: return "tab";
    case SpecialKey::escape: return "escape";
    case SpecialKey::deleteKey: return "delete";
    case SpecialKey::arrowLeft: return "arrowLeft";
    case SpecialKey::arrowRight: return "arrowRight";
    case SpecialKey::arrowUp: return "arrowUp";
    case SpecialKey::arrowDown: return "arrowDown";
    case SpecialKey::home: return "home";
    case SpecialKey::end: return "end";
    case SpecialKey::pageUp: return "pageUp";
    case SpecialKey::pageDown: return "pageDown";
    case SpecialKey::f1: return "f1";
    case SpecialKey::f2: return "f2";
    case SpecialKey::f3: return "f3";
    case SpecialKey::f4: return "f4";
    case SpecialKey::f5: return "f5";
    case SpecialKey::f6: return "f6";
    case SpecialKey::f7: return "f7";
    case SpecialKey::f8: return "f8";
    case SpecialKey::f9: return "f9";
    case SpecialKey::f10: return "f10";
    case SpecialKey::f11: return "f11";
    case SpecialKey::f12: return "f12";
    case SpecialKey::insert: return "insert";
    case SpecialKey::print: return "print";
    case SpecialKey::menu: return "menu";
  }
  return {};
}

std::string_view rawValue(Modifier modifier) {
  switch (modifier) {
    case Modifier::ctrl: return "ctrl";
    case Modifier::alt: return "alt";
    case Modifier::shift: return "shift";
    case Modifier::super: return "super";
  }
  return {};
}

std::optional<SpecialKey> specialKeyFromRaw(std::string_view raw) {
  for (SpecialKey key : allSpecialKeys) {
    if (rawValue(key) == raw) return key;
  }
  return std::nullopt;
}

namespace {

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A JSON number as a double; booleans count as 1 and 0; anything else, and values that are not
// finite, as 0.
double readLenientNumber(const Json& object, std::string_view key) {
  const Json* value = json::member(object, key);
  if (value == nullptr) return 0;
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  if (!value->is_number()) return 0;
  const double number = value->get<double>();
  return std::isfinite(number) ? number : 0;
}

std::optional<std::string> readLimitedString(const Json& object, std::string_view key,
                                             std::size_t limit) {
  const Json* value = json::member(object, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  const auto& text = value->get_ref<const std::string&>();
  // Fewer bytes than the limit are necessarily fewer characters.
  if (text.size() <= limit) return text;
  return unicode::prefixGraphemes(text, limit);
}

// The names of the list that are modifiers; anything else, and a value that is no list, adds
// nothing (a newer phone may hold keys this host does not know).
Modifiers readModifiers(const Json& object) {
  const Json* value = json::member(object, "modifiers");
  if (value == nullptr || !value->is_array()) return 0;
  Modifiers held = 0;
  for (const Json& entry : *value) {
    if (!entry.is_string()) continue;
    const auto& name = entry.get_ref<const std::string&>();
    for (const Modifier modifier : allModifiers) {
      if (rawValue(modifier) == name) held |= bit(modifier);
    }
  }
  return held;
}

// A number that is there and finite, or nothing.
std::optional<double> readFiniteNumber(const Json& object, std::string_view key) {
  const Json* value = json::member(object, key);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  const double number = value->get<double>();
  return std::isfinite(number) ? std::optional(number) : std::nullopt;
}

std::optional<PortalView> readView(const Json& object) {
  std::optional<double> numbers[6];
  const char* const keys[6] = {"x", "y", "width", "height", "pixelWidth", "pixelHeight"};
  for (int i = 0; i < 6; ++i) {
    numbers[i] = readFiniteNumber(object, keys[i]);
    if (!numbers[i]) return std::nullopt;
  }
  return PortalView::make(*numbers[0], *numbers[1], *numbers[2], *numbers[3], *numbers[4],
                          *numbers[5]);
}

void putOptional(Json& object, const char* key, const std::optional<std::string>& value) {
  if (value) object[key] = *value;
}

std::optional<std::string> readOptionalString(const Json& object, std::string_view key, bool& ok) {
  const Json* value = json::member(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_string()) ok = false;
  return ok ? std::optional(value->get<std::string>()) : std::nullopt;
}

}  // namespace

std::optional<SpecialKey> parseSpecialKey(const std::optional<std::string>& name) {
  if (!name || name->empty()) return std::nullopt;
  for (SpecialKey key : allSpecialKeys) {
    if (equalsIgnoringASCIICase(rawValue(key), *name)) return key;
  }
  return std::nullopt;
}

std::optional<InputMessage> InputMessage::parse(std::string_view utf8) {
  if (utf8.empty()) return std::nullopt;
  const auto document = json::parse(utf8);
  if (!document || !document->is_object()) return std::nullopt;
  auto type = json::readString(*document, "type");
  if (!type || type->empty()) return std::nullopt;
  InputMessage message;
  message.type = std::move(*type);
  message.x = readLenientNumber(*document, "x");
  message.y = readLenientNumber(*document, "y");
  message.deltaX = readLenientNumber(*document, "dx");
  message.deltaY = readLenientNumber(*document, "dy");
  message.text = readLimitedString(*document, "text", maxTextLength);
  message.key = readLimitedString(*document, "key", maxKeyLength);
  message.portalId = readLimitedString(*document, "portalId", maxPortalIdLength);
  message.modifiers = readModifiers(*document);
  if (message.type == InputMessageType::viewport) message.view = readView(*document);
  if (message.type == InputMessageType::quality) {
    message.preset = readLimitedString(*document, "preset", maxKeyLength);
  }
  return message;
}

PortalStateMessage::PortalStateMessage(std::optional<std::string> portalId,
                                       std::optional<std::string> portalName,
                                       PortalCaptureState state, const PixelSize& sourceSize,
                                       bool streaming)
    : portalId(std::move(portalId)),
      portalName(std::move(portalName)),
      state(rawValue(state)),
      // A shared portal that nothing captures yet is no absent portal.
      statusText(this->portalId && state == PortalCaptureState::idle
                     ? std::string(sharedIdleText)
                     : std::string(tavelin::statusText(state))),
      sourceWidth(sourceSize.width),
      sourceHeight(sourceSize.height),
      streaming(streaming) {}

PortalStateMessage PortalStateMessage::notShared(std::optional<std::string> portalId,
                                                 std::optional<std::string> portalName) {
  PortalStateMessage message(std::move(portalId), std::move(portalName), PortalCaptureState::idle,
                             PixelSize::empty, false);
  message.statusText = notSharedText;
  message.shared = false;
  return message;
}

PortalStateMessage PortalStateMessage::noPortal() {
  PortalStateMessage message(std::nullopt, std::nullopt, PortalCaptureState::idle, PixelSize::empty,
                             false);
  message.shared = false;
  return message;
}

std::string InputMessage::jsonString() const {
  Json object{{"type", type}, {"x", x}, {"y", y}, {"dx", deltaX}, {"dy", deltaY}};
  putOptional(object, "text", text);
  putOptional(object, "key", key);
  putOptional(object, "portalId", portalId);
  putOptional(object, "preset", preset);
  if (modifiers != 0) {
    Json names = Json::array();
    for (const Modifier modifier : allModifiers) {
      if ((modifiers & bit(modifier)) != 0) names.push_back(std::string(rawValue(modifier)));
    }
    object["modifiers"] = std::move(names);
  }
  if (view) {
    object["x"] = view->area.x;
    object["y"] = view->area.y;
    object["width"] = view->area.width;
    object["height"] = view->area.height;
    object["pixelWidth"] = view->pixels.width;
    object["pixelHeight"] = view->pixels.height;
  }
  return json::encodeCompact(object).value_or("{}");
}

std::string clipboardJson(const std::string& text) {
  // Text that is not UTF-8 is written with replacement characters rather than refused.
  return Json{{"type", "clipboard"}, {"text", text}}.dump(-1, ' ', false,
                                                          Json::error_handler_t::replace);
}

std::optional<QualityPreset> findQualityPreset(std::string_view name) {
  for (const auto& preset : qualityPresets) {
    if (preset.name == name) return preset;
  }
  return std::nullopt;
}

std::string_view presetOfQuality(double jpegQuality) {
  for (const auto& preset : qualityPresets) {
    if (std::abs(preset.jpegQuality - jpegQuality) < 1e-6) return preset.name;
  }
  return "custom";
}

std::string qualityJson(double jpegQuality, bool choosable) {
  const Json object{{"type", "quality"},
                    {"preset", std::string(presetOfQuality(jpegQuality))},
                    {"choosable", choosable}};
  return json::encodeCompact(object).value_or("{}");
}

std::string pictureViewJson(const NormalizedRect& shows) {
  const Json object{{"type", "view"},
                    {"x", shows.x},
                    {"y", shows.y},
                    {"width", shows.width},
                    {"height", shows.height}};
  return json::encodeCompact(object).value_or("{}");
}

std::string PortalStateMessage::jsonString() const {
  Json object{{"type", type},
              {"state", state},
              {"statusText", statusText},
              {"sourceWidth", sourceWidth},
              {"sourceHeight", sourceHeight},
              {"streaming", streaming},
              {"shared", shared}};
  putOptional(object, "portalId", portalId);
  putOptional(object, "portalName", portalName);
  if (auto text = json::encodeCompact(object)) return std::move(*text);
  return R"({"type":"state","state":"error","statusText":"Capture error","sourceWidth":0,"sourceHeight":0,"streaming":false})";
}

std::optional<PortalStateMessage> PortalStateMessage::decode(std::string_view text) {
  const auto document = json::parse(text);
  if (!document) return std::nullopt;
  PortalStateMessage message;
  auto type = json::readString(*document, "type");
  auto state = json::readString(*document, "state");
  auto statusText = json::readString(*document, "statusText");
  const auto width = json::readInteger<std::int64_t>(*document, "sourceWidth");
  const auto height = json::readInteger<std::int64_t>(*document, "sourceHeight");
  const auto streaming = json::readBool(*document, "streaming");
  const auto shared = json::member(*document, "shared") == nullptr
                          ? std::optional(true)
                          : json::readBool(*document, "shared");
  bool ok = type && state && statusText && width && height && streaming && shared;
  message.portalId = readOptionalString(*document, "portalId", ok);
  message.portalName = readOptionalString(*document, "portalName", ok);
  if (!ok) return std::nullopt;
  message.type = std::move(*type);
  message.state = std::move(*state);
  message.statusText = std::move(*statusText);
  message.sourceWidth = *width;
  message.sourceHeight = *height;
  message.streaming = *streaming;
  message.shared = *shared;
  return message;
}

std::string PortalsListMessage::jsonString() const {
  Json list = Json::array();
  for (const auto& item : items) {
    list.push_back(Json{{"id", item.id}, {"name", item.name}, {"type", item.type}});
  }
  Json object{{"type", type}, {"items", std::move(list)}};
  putOptional(object, "currentPortalId", currentPortalId);
  if (auto text = json::encodeCompact(object)) return std::move(*text);
  return R"({"type":"portals","items":[]})";
}

std::optional<PortalsListMessage> PortalsListMessage::decode(std::string_view text) {
  const auto document = json::parse(text);
  if (!document) return std::nullopt;
  auto type = json::readString(*document, "type");
  const Json* items = json::member(*document, "items");
  bool ok = type && items && items->is_array();
  PortalsListMessage message;
  message.currentPortalId = readOptionalString(*document, "currentPortalId", ok);
  if (!ok) return std::nullopt;
  message.type = std::move(*type);
  for (const auto& item : *items) {
    auto id = json::readString(item, "id");
    auto name = json::readString(item, "name");
    auto itemType = json::readString(item, "type");
    if (!id || !name || !itemType) return std::nullopt;
    message.items.push_back({std::move(*id), std::move(*name), std::move(*itemType)});
  }
  return message;
}

}  // namespace tavelin
