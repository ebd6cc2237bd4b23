#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "TavelinHost/Capture/LiveDisplayPreview.hpp"
#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"

namespace tavelin {

// One still picture of a window, for choosing a part of it: a short capture whose newest
// picture is kept. An application may repaint just after capture begins (what redirection
// exposed), so pictures are collected for `settle` after the first one; nothing arrives after
// `timeout` means the window cannot be captured.
namespace WindowStill {

inline constexpr std::chrono::milliseconds settle{250};
inline constexpr std::chrono::milliseconds timeout{3000};

// `done` runs once on `mainExecutor`: the full-size BGRX picture, or nothing.
void capture(std::shared_ptr<ScreenCaptureService> service, std::uint32_t windowID,
             std::shared_ptr<Executor> mainExecutor,
             std::function<void(std::optional<LiveDisplayPreview::Image>)> done);

}  // namespace WindowStill

}  // namespace tavelin
