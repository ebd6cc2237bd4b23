#pragma once

#include <optional>
#include <string_view>

// The small enumerations that travel with portals. Each has a raw string form, used in files
// and on the wire, equal to its case name; parsing is exact (case-sensitive).
namespace tavelin {

enum class PortalType { screenRegion, window, windowRegion };

enum class WindowCaptureMode { fullWindow, contentOnly };

enum class RegionResizeBehavior { scaleWithWindow, keepPixelSize };

enum class PortalCaptureState {
  idle,
  starting,
  capturing,
  windowUnavailable,
  windowMinimized,
  sourceUnavailable,
  permissionRequired,
  error,
  unsupported,
};

std::string_view rawValue(PortalType value);
std::string_view rawValue(WindowCaptureMode value);
std::string_view rawValue(RegionResizeBehavior value);
std::string_view rawValue(PortalCaptureState value);

// The human-readable text shown to users for a capture state.
std::string_view statusText(PortalCaptureState value);

template <typename Enum>
std::optional<Enum> fromRawValue(std::string_view raw);

template <>
std::optional<PortalType> fromRawValue<PortalType>(std::string_view raw);
template <>
std::optional<WindowCaptureMode> fromRawValue<WindowCaptureMode>(std::string_view raw);
template <>
std::optional<RegionResizeBehavior> fromRawValue<RegionResizeBehavior>(std::string_view raw);
template <>
std::optional<PortalCaptureState> fromRawValue<PortalCaptureState>(std::string_view raw);

}  // namespace tavelin
