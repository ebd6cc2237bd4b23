#include "TavelinHost/Platform/Wayland/MutterDesktop.hpp"

#include <unistd.h>

#include <fstream>

#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"
#include "TavelinHost/Platform/Wayland/MutterScreenCast.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireStream.hpp"

namespace tavelin::wayland {

std::vector<DisplayDescription> MutterWindowServer::displays() {
  std::vector<DisplayDescription> displays;
  for (const auto& monitor : displays_->monitors()) displays.push_back(monitor.display);
  return displays;
}

std::int32_t MutterWindowServer::ownProcessID() const { return ::getpid(); }

std::optional<std::string> WaylandApplications::bundleIdentifier(std::int32_t processID) {
  if (processID <= 0) return std::nullopt;
  std::ifstream comm("/proc/" + std::to_string(processID) + "/comm");
  std::string name;
  if (!std::getline(comm, name) || name.empty()) return std::nullopt;
  return name;
}

void MutterCaptureService::shareableContent(
    std::function<void(std::optional<ShareableContent>, std::error_code)> done) {
  ShareableContent content;
  for (const auto& monitor : displays_->monitors()) {
    content.displays.push_back({monitor.display.displayID, monitor.display.bounds});
  }
  done(std::move(content), {});
}

std::optional<ContentFilter> MutterCaptureService::displayFilter(
    std::uint32_t displayID, std::vector<std::int32_t> excludedProcessIDs) {
  for (const auto& monitor : displays_->monitors()) {
    if (monitor.display.displayID == displayID) {
      return ContentFilter{DisplayContent{displayID, std::move(excludedProcessIDs)},
                           monitor.display.scale, monitor.display.bounds};
    }
  }
  return std::nullopt;
}

std::shared_ptr<CaptureStream> MutterCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration) {
  // The cursor comes embedded in the pictures, where Mutter draws it itself.
  auto provider = std::make_shared<MutterScreenCast>(
      bus_, displays_, configuration.showsCursor ? CursorMode::embedded : CursorMode::hidden);
  return std::make_shared<PipeWireStream>(std::move(provider), filter, configuration, log_);
}

}  // namespace tavelin::wayland
