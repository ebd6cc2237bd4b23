#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "TavelinKit/Foundation/Bytes.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/PortalEnums.hpp"
#include "TavelinKit/Model/PortalView.hpp"

namespace tavelin {

// A window as remembered when a portal was made, so that it can be found again later, also
// after its application restarted.
struct WindowTarget {
  std::string bundleIdentifier;
  std::string applicationName;
  std::string titleHint;
  std::int32_t processID = 0;
  std::uint32_t windowID = 0;
  double capturedWidth = 0;
  double capturedHeight = 0;

  // "Mail — Inbox", or just "Mail" without a title.
  std::string displayName() const;
  friend bool operator==(const WindowTarget&, const WindowTarget&) = default;
};

struct ScreenRegionPortalData {
  ScreenRect region;
  std::uint32_t displayID = 0;
  bool showBorder = true;

  friend bool operator==(const ScreenRegionPortalData&, const ScreenRegionPortalData&) = default;
};

struct WindowPortalData {
  WindowTarget target;
  WindowCaptureMode captureMode = WindowCaptureMode::fullWindow;

  friend bool operator==(const WindowPortalData&, const WindowPortalData&) = default;
};

struct WindowRegionPortalData {
  WindowTarget target;
  WindowCaptureMode captureMode = WindowCaptureMode::fullWindow;
  NormalizedRect region;          // fractions of the window's captured picture
  PixelRect originalPixelRegion;  // the same region in the window's pixels when it was drawn
  RegionResizeBehavior resizeBehavior = RegionResizeBehavior::scaleWithWindow;

  WindowRegionPortalData() = default;
  WindowRegionPortalData(WindowTarget target, NormalizedRect region, PixelRect originalPixelRegion,
                         RegionResizeBehavior resizeBehavior,
                         WindowCaptureMode captureMode = WindowCaptureMode::fullWindow)
      : target(std::move(target)),
        captureMode(captureMode),
        region(region),
        originalPixelRegion(originalPixelRegion),
        resizeBehavior(resizeBehavior) {}

  friend bool operator==(const WindowRegionPortalData&, const WindowRegionPortalData&) = default;
};

// What a portal shares: exactly one of the three kinds.
struct PortalPayload {
  std::variant<ScreenRegionPortalData, WindowPortalData, WindowRegionPortalData> value;

  PortalPayload(ScreenRegionPortalData data) : value(std::move(data)) {}
  PortalPayload(WindowPortalData data) : value(std::move(data)) {}
  PortalPayload(WindowRegionPortalData data) : value(std::move(data)) {}

  PortalType type() const;
  // The window of a window or window-region portal.
  std::optional<WindowTarget> windowTarget() const;

  friend bool operator==(const PortalPayload&, const PortalPayload&) = default;
};

struct Portal {
  Uuid id;
  std::string name;
  Date createdAt;
  PortalPayload payload;
  // Whether phones may see it: listed, chosen and streamed. A portal that is not shared is
  // kept, with everything else about it, until it is shared again.
  bool shared = true;

  PortalType type() const { return payload.type(); }
  // "Screen region", "Window" or "Window region".
  std::string typeText() const;
  // One line for the host's lists, such as "Window · Mail — Inbox".
  std::string summary() const;

  friend bool operator==(const Portal&, const Portal&) = default;
};

// One encoded picture from a capture source; the bytes are shared by every viewer of it. A
// picture made for a view goes to the phones that asked for that view, and tells them the part
// it shows; `size` is then still the whole portal's.
struct CapturedFrame {
  std::shared_ptr<const Bytes> jpeg;
  PixelSize size;
  Date timestamp;
  std::optional<PortalView> view = std::nullopt;
  NormalizedRect shows = NormalizedRect::full;
};

// The stored JSON form. Decoding requires every key but "shared" (files from before it was
// kept read as shared); a payload is {"kind": raw type, <raw type>: record}, and keys of the
// other kinds are ignored.
nlohmann::json toJson(const Portal& portal);
std::optional<Portal> portalFromJson(const nlohmann::json& json);

// The portals file: a pretty-printed JSON array with sorted keys. Decoding fails as a whole
// when any portal in it is malformed.
std::optional<std::string> encodePortalList(const std::vector<Portal>& portals);
std::optional<std::vector<Portal>> decodePortalList(std::string_view text);

}  // namespace tavelin
