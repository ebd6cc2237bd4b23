#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinKit/Foundation/Bytes.hpp"
#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/PortalEnums.hpp"
#include "TavelinKit/Model/PortalView.hpp"

// The JSON text messages exchanged with phones over the stream socket.
namespace tavelin {

namespace InputMessageType {
inline constexpr std::string_view tap = "tap";
inline constexpr std::string_view doubleTap = "doubletap";
inline constexpr std::string_view longPress = "longpress";
inline constexpr std::string_view pointerDown = "pointerdown";
inline constexpr std::string_view pointerMove = "pointermove";
inline constexpr std::string_view pointerUp = "pointerup";
inline constexpr std::string_view scroll = "scroll";
inline constexpr std::string_view text = "text";
inline constexpr std::string_view key = "key";
inline constexpr std::string_view ack = "ack";
inline constexpr std::string_view ping = "ping";
inline constexpr std::string_view selectPortal = "selectportal";
inline constexpr std::string_view viewport = "viewport";
inline constexpr std::string_view quality = "quality";
}  // namespace InputMessageType

enum class MouseButton { left, right, middle };

enum class SpecialKey {
  enter,
  backspace,
  tab,
  escape,
  deleteKey,  // raw value "delete"
  arrowLeft,
  arrowRight,
  arrowUp,
  arrowDown,
  home,
  end,
  pageUp,
  pageDown,
  f1,
  f2,
  f3,
  f4,
  f5,
  f6,
  f7,
  f8,
  f9,
  f10,
  f11,
  f12,
  insert,
  print,
  menu,
};

inline constexpr std::array allSpecialKeys{
    SpecialKey::enter,     SpecialKey::backspace, SpecialKey::tab,        SpecialKey::escape,
    SpecialKey::deleteKey, SpecialKey::arrowLeft, SpecialKey::arrowRight, SpecialKey::arrowUp,
    SpecialKey::arrowDown, SpecialKey::home,      SpecialKey::end,        SpecialKey::pageUp,
    SpecialKey::pageDown,  SpecialKey::f1,        SpecialKey::f2,         SpecialKey::f3,
    SpecialKey::f4,        SpecialKey::f5,        SpecialKey::f6,         SpecialKey::f7,
    SpecialKey::f8,        SpecialKey::f9,        SpecialKey::f10,        SpecialKey::f11,
    SpecialKey::f12,       SpecialKey::insert,    SpecialKey::print,      SpecialKey::menu};

// Keys a phone holds down around one event (or a whole stroke), as bits of a set.
enum class Modifier : std::uint8_t { ctrl = 1, alt = 2, shift = 4, super = 8 };
using Modifiers = std::uint8_t;
inline constexpr std::array allModifiers{Modifier::ctrl, Modifier::alt, Modifier::shift,
                                         Modifier::super};
inline constexpr Modifiers bit(Modifier modifier) { return static_cast<Modifiers>(modifier); }
std::string_view rawValue(Modifier modifier);

std::string_view rawValue(SpecialKey key);
// Exact (case-sensitive) match of a raw value.
std::optional<SpecialKey> specialKeyFromRaw(std::string_view raw);
// Case-insensitive: "Enter", "ArrowUp" and "pagedown" are keys, "Esc" and "Return" are not.
std::optional<SpecialKey> parseSpecialKey(const std::optional<std::string>& name);

// One message from a phone. Any non-empty type parses; receivers ignore types they do not
// know. Coordinates are fractions of the picture the phone shows.
struct InputMessage {
  static constexpr std::size_t maxTextLength = 4096;  // user-perceived characters
  static constexpr std::size_t maxKeyLength = 32;
  static constexpr std::size_t maxPortalIdLength = 64;

  std::string type;
  double x = 0;
  double y = 0;
  double deltaX = 0;  // "dx"
  double deltaY = 0;  // "dy"
  std::optional<std::string> text;
  std::optional<std::string> key;
  std::optional<std::string> portalId;
  // "modifiers": a list of "ctrl", "alt", "shift", "super"; other entries are ignored.
  Modifiers modifiers = 0;
  // Of a "viewport" message: the part of the portal the phone shows ("x", "y", "width",
  // "height" as fractions, "pixelWidth", "pixelHeight"); nothing (the whole portal) when any
  // is missing or they name no part.
  std::optional<PortalView> view = std::nullopt;
  // Of a "quality" message: the preset the phone asks for ("preset").
  std::optional<std::string> preset = std::nullopt;

  NormalizedPoint normalizedPoint() const { return {x, y}; }

  // Never throws: anything malformed gives nothing; over-long strings are cut silently and
  // numbers that are missing, of another type or not finite read as 0.
  static std::optional<InputMessage> parse(std::string_view utf8);
  static std::optional<InputMessage> parse(const Bytes& bytes) { return parse(asText(bytes)); }
  // Compact JSON with the wire's keys ("dx", "dy"); absent optionals left out. For logs.
  std::string jsonString() const;

  friend bool operator==(const InputMessage&, const InputMessage&) = default;
};

// The computer's clipboard for a phone to copy: {"type":"clipboard","text":…}. Texts longer
// than the limit (in UTF-8 bytes) are not sent.
inline constexpr std::size_t sharedClipboardLimit = 64 * 1024;
std::string clipboardJson(const std::string& text);

// The picture qualities a phone may choose between, by their names on the wire.
struct QualityPreset {
  std::string_view name;
  std::string_view label;  // as the settings show it
  double jpegQuality;
};
inline constexpr std::array<QualityPreset, 3> qualityPresets{
    {{"low", "Low", 0.4}, {"balanced", "Balanced", 0.6}, {"high", "High", 0.8}}};
// Nothing for a name that is no preset.
std::optional<QualityPreset> findQualityPreset(std::string_view name);
// The preset of that quality, or "custom" for one the settings file holds between them.
std::string_view presetOfQuality(double jpegQuality);
// {"type":"quality","preset":…,"choosable":…}: the quality a portal's pictures are made at,
// and whether the phone may choose another.
std::string qualityJson(double jpegQuality, bool choosable);

// Sent just before a picture that shows only part of the portal: which part, as fractions of
// the whole. A picture without one shows the whole portal.
std::string pictureViewJson(const NormalizedRect& shows);

// The state of the portal a phone is viewing.
struct PortalStateMessage {
  std::string type = "state";
  std::optional<std::string> portalId;
  std::optional<std::string> portalName;
  std::string state;
  std::string statusText;
  std::int64_t sourceWidth = 0;
  std::int64_t sourceHeight = 0;
  bool streaming = false;
  // False for a portal the host stopped sharing (and when there is no portal at all).
  bool shared = true;

  static constexpr std::string_view notSharedText = "Not shared";
  static constexpr std::string_view sharedIdleText = "Shared, not streaming yet";

  PortalStateMessage() = default;
  PortalStateMessage(std::optional<std::string> portalId, std::optional<std::string> portalName,
                     PortalCaptureState state, const PixelSize& sourceSize, bool streaming);

  // What a phone is told of a portal it may not watch (any more): idle, "Not shared".
  static PortalStateMessage notShared(std::optional<std::string> portalId,
                                      std::optional<std::string> portalName);
  // What a phone with no portal to watch is told.
  static PortalStateMessage noPortal();

  // Pictures flow only while capturing a source of known size.
  static bool isStreaming(PortalCaptureState state, const PixelSize& sourceSize) {
    return state == PortalCaptureState::capturing && !sourceSize.isEmpty();
  }

  // Compact JSON; absent optionals are left out, not null. "shared" may be missing when decoding
  // (it reads as true).
  std::string jsonString() const;
  static std::optional<PortalStateMessage> decode(std::string_view json);

  friend bool operator==(const PortalStateMessage&, const PortalStateMessage&) = default;
};

struct PortalSummary {
  std::string id;  // upper-case UUID
  std::string name;
  std::string type;  // raw PortalType

  friend bool operator==(const PortalSummary&, const PortalSummary&) = default;
};

// The portals a phone may choose from, in the host's order.
struct PortalsListMessage {
  std::string type = "portals";
  std::vector<PortalSummary> items;
  std::optional<std::string> currentPortalId;

  PortalsListMessage() = default;
  PortalsListMessage(std::vector<PortalSummary> items, std::optional<std::string> currentPortalId)
      : items(std::move(items)), currentPortalId(std::move(currentPortalId)) {}

  std::string jsonString() const;
  static std::optional<PortalsListMessage> decode(std::string_view json);

  friend bool operator==(const PortalsListMessage&, const PortalsListMessage&) = default;
};

}  // namespace tavelin
