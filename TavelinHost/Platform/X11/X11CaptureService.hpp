#pragma once

#include <memory>
#include <string>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::x11 {

// Pictures of an X11 desktop: MIT-SHM grabs of the root for display content, Composite for one
// window (also covered or off-screen), DAMAGE so that an unchanged picture costs nothing, the
// cursor from XFixes. Each stream has its own connection and capture thread.
class X11CaptureService final : public ScreenCaptureService {
 public:
  // `display` as for XOpenDisplay; empty for $DISPLAY. Unavailable without an X server or
  // without the SHM, Composite, DAMAGE and XFixes extensions.
  explicit X11CaptureService(std::string display = {});

  bool isAvailable() const override { return available_; }
  bool preflightPermission() const override { return true; }  // X11 has no such permission

  void shareableContent(
      std::function<void(std::optional<ShareableContent>, std::error_code)> done) override;
  std::optional<ContentFilter> displayFilter(std::uint32_t displayID,
                                             std::vector<std::int32_t> excludedProcessIDs) override;
  std::optional<ContentFilter> windowFilter(std::uint32_t windowID) override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) override;

 private:
  const std::string display_;
  std::shared_ptr<Connection> x_;
  bool available_ = false;
};

}  // namespace tavelin::x11
