#pragma once

#include <memory>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin::wayland {

class WlrootsConnection;

// Pictures of a wlroots compositor through screencopy into our own shared memory: a whole
// output, a region of one (copied as that region only), or a window as the part of its output
// where it lies now. A stream asks for a copy "when something changed", so a still screen costs
// nothing; after a start or a change of what it shows it takes the next picture at once. On
// wlroots a window is not captured on its own: what covers it shows in its pictures.
class WlrootsCaptureService final : public ScreenCaptureService {
 public:
  WlrootsCaptureService(std::shared_ptr<WlrootsConnection> connection,
                        std::shared_ptr<WindowServer> windows, HostLogSink log)
      : connection_(std::move(connection)), windows_(std::move(windows)), log_(std::move(log)) {}

  bool isAvailable() const override;
  bool preflightPermission() const override { return true; }  // the compositor asks nobody
  void shareableContent(
      std::function<void(std::optional<ShareableContent>, std::error_code)> done) override;
  std::optional<ContentFilter> displayFilter(std::uint32_t displayID,
                                             std::vector<std::int32_t> excludedProcessIDs) override;
  std::optional<ContentFilter> windowFilter(std::uint32_t windowID) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) override;

 private:
  const std::shared_ptr<WlrootsConnection> connection_;
  const std::shared_ptr<WindowServer> windows_;
  const HostLogSink log_;
};

}  // namespace tavelin::wayland
