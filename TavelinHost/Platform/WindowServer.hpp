#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TavelinKit/Model/Geometry.hpp"

// Ports for what the host asks of the desktop besides pictures: the live window list and the
// displays, which process owns which application, and moving and raising other applications'
// windows.
namespace tavelin {

struct LiveWindow {
  std::uint32_t windowID = 0;
  std::int32_t ownerProcessID = 0;
  int layer = 0;
  ScreenRect bounds;      // global points, frame included
  std::string name;       // title; empty when none
  std::string ownerName;  // the owning application's name
  bool isOnScreen = false;
  ScreenRect contentBounds;  // what a capture of the window shows; empty: all of `bounds`

  // Where the captured picture of the window lies on screen.
  const ScreenRect& capturedArea() const {
    return contentBounds.isEmpty() ? bounds : contentBounds;
  }

  friend bool operator==(const LiveWindow&, const LiveWindow&) = default;
};

struct DisplayDescription {
  std::uint32_t displayID = 0;
  ScreenRect bounds;  // global points, origin at the top-left of the main display
  double scale = 1;   // pixels per point
  bool isMain = false;

  friend bool operator==(const DisplayDescription&, const DisplayDescription&) = default;
};

class WindowServer {
 public:
  virtual ~WindowServer() = default;
  // Windows on screen now, desktop elements left out, front to back.
  virtual std::vector<LiveWindow> onScreenWindows() = 0;
  // One window, on screen or not; nothing once it is gone.
  virtual std::optional<LiveWindow> window(std::uint32_t windowID) = 0;
  // Active displays, main display first.
  virtual std::vector<DisplayDescription> displays() = 0;
  virtual std::int32_t ownProcessID() const = 0;
};

class ApplicationRegistry {
 public:
  virtual ~ApplicationRegistry() = default;
  // The stable identity of the application a process runs; nothing when unknown.
  virtual std::optional<std::string> bundleIdentifier(std::int32_t processID) = 0;
  // Brings the application to the front; whether that worked.
  virtual bool activate(std::int32_t processID) = 0;
};

// One window of an application as the window control sees it.
struct ControlledWindow {
  std::uint32_t handle = 0;
  std::optional<std::string> title;
  std::optional<ScreenPoint> position;
};

class WindowControl {
 public:
  virtual ~WindowControl() = default;
  // Whether the host may move and raise other applications' windows.
  virtual bool isTrusted() const = 0;
  // Nothing when the application's windows cannot be read.
  virtual std::optional<std::vector<ControlledWindow>> windows(std::int32_t processID) = 0;
  virtual bool setPosition(std::uint32_t handle, const ScreenPoint& origin) = 0;
  virtual bool raise(std::uint32_t handle) = 0;
};

}  // namespace tavelin
