#include "TavelinHost/Platform/X11/X11CaptureService.hpp"

#include <map>

#include "TavelinHost/Platform/X11/X11CaptureStream.hpp"
#include "TavelinHost/Platform/X11/X11CaptureSupport.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"

namespace tavelin::x11 {

X11CaptureService::X11CaptureService(std::string display) : display_(std::move(display)) {
  x_ = Connection::open(display_);
  available_ = x_ && initialiseExtensions(x_->get());
}

void X11CaptureService::shareableContent(
    std::function<void(std::optional<ShareableContent>, std::error_code)> done) {
  if (!available_) {
    done(std::nullopt, captureError(std::errc::not_supported));
    return;
  }
  X11WindowServer server(x_);
  X11ApplicationRegistry registry(x_);
  ShareableContent content;
  for (const auto& display : server.displays())
    content.displays.push_back({display.displayID, display.bounds});
  std::map<std::int32_t, ShareableApplication> applications;
  for (const auto& window : server.allWindows()) {
    ShareableApplication owner{window.ownerName,
                               registry.bundleIdentifier(window.ownerProcessID).value_or(""),
                               window.ownerProcessID};
    applications.emplace(owner.processID, owner);
    content.windows.push_back(
        {window.windowID, window.name, window.bounds, window.layer, window.isOnScreen, owner});
  }
  for (auto& [pid, application] : applications)
    content.applications.push_back(std::move(application));
  done(std::move(content), {});
}

std::optional<ContentFilter> X11CaptureService::displayFilter(
    std::uint32_t displayID, std::vector<std::int32_t> excludedProcessIDs) {
  if (!available_) return std::nullopt;
  for (const auto& display : X11WindowServer(x_).displays()) {
    if (display.displayID == displayID) {
      return ContentFilter{DisplayContent{displayID, std::move(excludedProcessIDs)}, 1,
                           display.bounds};
    }
  }
  return std::nullopt;
}

std::optional<ContentFilter> X11CaptureService::windowFilter(std::uint32_t windowID) {
  if (!available_) return std::nullopt;
  const auto area = clientArea(x_->get(), x_->root(), windowID);
  if (!area) return std::nullopt;
  return ContentFilter{WindowContent{windowID}, 1, *area};
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration) {
  return std::make_shared<X11CaptureStream>(display_, filter, configuration);
}

}  // namespace tavelin::x11
