#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "TavelinHost/Capture/LiveDisplayPreview.hpp"
#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"

namespace tavelin {

// One still picture of a window or a display, for choosing a part of it: a short capture whose
// newest picture is kept, then stopped. What came of it says why there is no picture when
// there is none, so the window can tell the user.
namespace StillPicture {

enum class Problem {
  none,
  unavailable,    // the desktop cannot be captured, or does not allow it
  noSuchContent,  // the window or display is not there (any more)
  streamFailed,   // the capture refused to start, or ended on its own
  timedOut,       // it ran, but no picture came in time
};

struct Result {
  std::optional<LiveDisplayPreview::Image> image;  // full-size BGRX
  Problem problem = Problem::none;
  std::error_code error;  // the stream's own, with streamFailed
};

struct Request {
  std::optional<ContentFilter> filter;  // nothing: the content is not there
  StreamConfiguration configuration;
  // After the first picture, how long newer ones replace it (an application may repaint what
  // capturing exposed); zero keeps the first.
  std::chrono::milliseconds settle{0};
  std::chrono::milliseconds timeout{3000};
};

// `done` runs once on `mainExecutor`.
void capture(std::shared_ptr<ScreenCaptureService> service, Request request,
             std::shared_ptr<Executor> mainExecutor, std::function<void(Result)> done);

// A window's picture, collected for `windowSettle`; nothing arrives after `windowTimeout`
// means the window cannot be captured.
inline constexpr std::chrono::milliseconds windowSettle{250};
inline constexpr std::chrono::milliseconds windowTimeout{3000};
void captureWindow(std::shared_ptr<ScreenCaptureService> service, std::uint32_t windowID,
                   std::shared_ptr<Executor> mainExecutor, std::function<void(Result)> done);

// The first picture of a display at its full pixel size, without the pointer, leaving out the
// windows of `excludedProcessIDs` where the desktop can.
inline constexpr std::chrono::milliseconds displayTimeout{5000};
void captureDisplay(std::shared_ptr<ScreenCaptureService> service, std::uint32_t displayID,
                    std::vector<std::int32_t> excludedProcessIDs,
                    std::shared_ptr<Executor> mainExecutor, std::function<void(Result)> done,
                    std::chrono::milliseconds timeout = displayTimeout);

}  // namespace StillPicture

}  // namespace tavelin
