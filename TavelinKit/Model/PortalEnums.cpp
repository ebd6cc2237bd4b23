#include "TavelinKit/Model/PortalEnums.hpp"

#include <array>

namespace tavelin {

namespace {

template <typename Enum, std::size_t N>
std::optional<Enum> lookUp(std::string_view raw, const std::array<Enum, N>& all) {
  for (Enum value : all) {
    if (rawValue(value) == raw) return value;
  }
  return std::nullopt;
}

}  // namespace

std::string_view rawValue(PortalType value) {
  switch (value) {
    case PortalType::screenRegion: return "screenRegion";
    case PortalType::window: return "window";
    case PortalType::windowRegion: return "windowRegion";
  }
  return {};
}

std::string_view rawValue(WindowCaptureMode value) {
  switch (value) {
    case WindowCaptureMode::fullWindow: return "fullWindow";
    case WindowCaptureMode::contentOnly: return "contentOnly";
  }
  return {};
}

std::string_view rawValue(RegionResizeBehavior value) {
  switch (value) {
    case RegionResizeBehavior::scaleWithWindow: return "scaleWithWindow";
    case RegionResizeBehavior::keepPixelSize: return "keepPixelSize";
  }
  return {};
}

std::string_view rawValue(PortalCaptureState value) {
  switch (value) {
    case PortalCaptureState::idle: return "idle";
    case PortalCaptureState::starting: return "starting";
    case PortalCaptureState::capturing: return "capturing";
    case PortalCaptureState::windowUnavailable: return "windowUnavailable";
    case PortalCaptureState::windowMinimized: return "windowMinimized";
    case PortalCaptureState::sourceUnavailable: return "sourceUnavailable";
    case PortalCaptureState::permissionRequired: return "permissionRequired";
    case PortalCaptureState::error: return "error";
    case PortalCaptureState::unsupported: return "unsupported";
  }
  return {};
}

std::string_view statusText(PortalCaptureState value) {
  switch (value) {
    case PortalCaptureState::idle: return "No portal active";
    case PortalCaptureState::starting: return "Starting capture\u2026";
    case PortalCaptureState::capturing: return "Capturing";
    case PortalCaptureState::windowUnavailable: return "Waiting for application\u2026";
    case PortalCaptureState::windowMinimized: return "Window minimized";
    case PortalCaptureState::sourceUnavailable: return "Screen region unavailable";
    case PortalCaptureState::permissionRequired: return "Screen capture permission required";
    case PortalCaptureState::error: return "Capture error";
    case PortalCaptureState::unsupported: return "Screen capture is not available";
  }
  return {};
}

template <>
std::optional<PortalType> fromRawValue<PortalType>(std::string_view raw) {
  return lookUp(raw,
                std::array{PortalType::screenRegion, PortalType::window, PortalType::windowRegion});
}

template <>
std::optional<WindowCaptureMode> fromRawValue<WindowCaptureMode>(std::string_view raw) {
  return lookUp(raw, std::array{WindowCaptureMode::fullWindow, WindowCaptureMode::contentOnly});
}

template <>
std::optional<RegionResizeBehavior> fromRawValue<RegionResizeBehavior>(std::string_view raw) {
  return lookUp(
      raw, std::array{RegionResizeBehavior::scaleWithWindow, RegionResizeBehavior::keepPixelSize});
}

template <>
std::optional<PortalCaptureState> fromRawValue<PortalCaptureState>(std::string_view raw) {
  return lookUp(
      raw, std::array{PortalCaptureState::idle, PortalCaptureState::starting,
                      PortalCaptureState::capturing, PortalCaptureState::windowUnavailable,
                      PortalCaptureState::windowMinimized, PortalCaptureState::sourceUnavailable,
                      PortalCaptureState::permissionRequired, PortalCaptureState::error,
                      PortalCaptureState::unsupported});
}

}  // namespace tavelin
