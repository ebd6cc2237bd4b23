#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/PictureDemand.hpp"

// The port through which the host gets pictures of the desktop. The engine (capture sources,
// window discovery, the virtual display) speaks only to this; an adapter per desktop system
// makes it real (X11 today), and fakes stand in for it in tests.
namespace tavelin {

struct ShareableApplication {
  std::string applicationName;
  std::string bundleIdentifier;
  std::int32_t processID = 0;

  friend bool operator==(const ShareableApplication&, const ShareableApplication&) = default;
};

struct ShareableDisplay {
  std::uint32_t displayID = 0;
  ScreenRect frame;  // global points; its size is the display's size

  friend bool operator==(const ShareableDisplay&, const ShareableDisplay&) = default;
};

struct ShareableWindow {
  std::uint32_t windowID = 0;
  std::string title;
  ScreenRect frame;  // global points, the window manager's frame included
  int layer = 0;     // 0 for ordinary application windows
  bool isOnScreen = false;
  std::optional<ShareableApplication> owningApplication;

  friend bool operator==(const ShareableWindow&, const ShareableWindow&) = default;
};

struct ShareableContent {
  std::vector<ShareableDisplay> displays;
  std::vector<ShareableWindow> windows;
  std::vector<ShareableApplication> applications;
};

// What a stream shows: a display (less some applications' windows), or one window wherever it
// is, covered or off-screen.
struct DisplayContent {
  std::uint32_t displayID = 0;
  std::vector<std::int32_t> excludedProcessIDs;
};
struct WindowContent {
  std::uint32_t windowID = 0;
};

struct ContentFilter {
  std::variant<DisplayContent, WindowContent> content;
  double pointPixelScale = 1;  // pixels per point; 0 when unknown
  ScreenRect contentRect;      // points
};

// Pictures are always BGRA (BGRX on X11: the fourth byte carries no meaning).
struct StreamConfiguration {
  int width = 0;
  int height = 0;
  std::optional<ScreenRect> sourceRect;  // points within the content; whole content when absent
  bool showsCursor = true;
  int queueDepth = 3;  // samples waiting for the output at most; more are dropped
  std::chrono::microseconds minimumFrameInterval{33333};
  bool scalesToFit = true;
};

enum class FrameStatus { complete, idle, blank, suspended, started, stopped };

// One picture's pixels: width × height BGRA, `stride` bytes a row. `data` keeps whatever
// holds them alive (a capture backend's shared-memory segment, a vector), so a sample travels
// between queues without copying.
struct PixelBuffer {
  int width = 0;
  int height = 0;
  int stride = 0;
  std::shared_ptr<const std::uint8_t> data;
  std::size_t size = 0;  // bytes at `data`

  static PixelBuffer of(int width, int height, int stride,
                        std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
    const std::uint8_t* first = bytes->data();
    const std::size_t size = bytes->size();
    return {width, height, stride, std::shared_ptr<const std::uint8_t>(std::move(bytes), first),
            size};
  }
};

struct CaptureSample {
  bool isValid = false;
  FrameStatus status = FrameStatus::idle;
  double scaleFactor = 1;  // pixels per point
  ScreenRect contentRect;  // the part of the buffer that is content, in points
  std::optional<PixelBuffer> pixels;
};

using CaptureCompletion = std::function<void(std::error_code)>;

// A running capture. Every operation completes asynchronously with an optional error; samples
// arrive only on the queue given to addOutput.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;

  virtual void addOutput(SerialQueue queue, std::function<void(const CaptureSample&)> output) = 0;
  virtual void start(CaptureCompletion done) = 0;
  virtual void stop(CaptureCompletion done) = 0;
  virtual void updateConfiguration(const StreamConfiguration& configuration,
                                   CaptureCompletion done) = 0;
  virtual void updateFilter(const ContentFilter& filter, CaptureCompletion done) = 0;

  // Streams that can keep a change until a phone wants it: `wanted` is asked before each
  // grab; a change is kept until the time it names, and while it names none, until the next
  // `pictureWanted`. With `refresh`, a phone has no picture of this stream yet, so one is
  // taken without a change. Set before start. Streams that grab as the desktop sends
  // pictures ignore both.
  virtual void setDemand(std::function<PictureDue()> wanted) { (void)wanted; }
  virtual void pictureWanted(bool refresh) { (void)refresh; }

  // The stream ended on its own (its window closed, the display went away). Set before start.
  std::function<void(std::error_code)> onStoppedWithError;
};

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;

  // Whether this desktop can be captured at all (no display, or missing extensions: no).
  virtual bool isAvailable() const = 0;
  // Permission without asking the user; desktops without such a permission always allow.
  virtual bool preflightPermission() const = 0;

  virtual void shareableContent(
      std::function<void(std::optional<ShareableContent>, std::error_code)> done) = 0;
  virtual std::optional<ContentFilter> displayFilter(
      std::uint32_t displayID, std::vector<std::int32_t> excludedProcessIDs) = 0;
  virtual std::optional<ContentFilter> windowFilter(std::uint32_t windowID) = 0;
  virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration) = 0;
};

}  // namespace tavelin
