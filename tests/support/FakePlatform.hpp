#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/VirtualDisplayPlatform.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"

namespace tavelin::testing {

// A desktop held in plain fields, for the rules that read the window server.
class FakeWindowServer final : public WindowServer {
 public:
  std::vector<LiveWindow> windows;  // everything, on screen or not
  std::vector<DisplayDescription> screens;
  std::int32_t ownPID = 4242;

  std::vector<LiveWindow> onScreenWindows() override {
    std::vector<LiveWindow> shown;
    for (const auto& window : windows) {
      if (window.isOnScreen) shown.push_back(window);
    }
    return shown;
  }
  std::optional<LiveWindow> window(std::uint32_t windowID) override {
    for (const auto& window : windows) {
      if (window.windowID == windowID) return window;
    }
    return std::nullopt;
  }
  std::vector<DisplayDescription> displays() override { return screens; }
  std::int32_t ownProcessID() const override { return ownPID; }
};

class FakeApplicationRegistry final : public ApplicationRegistry {
 public:
  std::map<std::int32_t, std::string> identifiers;
  int lookups = 0;
  std::vector<std::int32_t> activated;

  std::optional<std::string> bundleIdentifier(std::int32_t processID) override {
    std::lock_guard guard(lock_);
    ++lookups;
    const auto found = identifiers.find(processID);
    if (found == identifiers.end()) return std::nullopt;
    return found->second;
  }
  bool activate(std::int32_t processID) override {
    std::lock_guard guard(lock_);
    activated.push_back(processID);
    return identifiers.contains(processID);
  }

 private:
  std::mutex lock_;
};

class FakeWindowControl final : public WindowControl {
 public:
  bool trusted = true;
  std::map<std::int32_t, std::vector<ControlledWindow>> byProcess;
  std::vector<std::pair<std::uint32_t, ScreenPoint>> moves;
  std::vector<std::uint32_t> raised;

  bool isTrusted() const override { return trusted; }
  std::optional<std::vector<ControlledWindow>> windows(std::int32_t processID) override {
    const auto found = byProcess.find(processID);
    if (found == byProcess.end()) return std::nullopt;
    return found->second;
  }
  bool setPosition(std::uint32_t handle, const ScreenPoint& origin) override {
    moves.emplace_back(handle, origin);
    return true;
  }
  bool raise(std::uint32_t handle) override {
    raised.push_back(handle);
    return true;
  }
};

// Makes virtual displays with the number the test sets and remembers what was asked.
class RecordingVirtualDisplayPlatform final : public VirtualDisplayPlatform {
 public:
  struct Backing final : VirtualDisplayBacking {
    explicit Backing(std::uint32_t id) : id(id) {}
    std::uint32_t displayID() const override { return id; }
    std::uint32_t id;
  };
  bool supported = true;
  std::uint32_t nextID = 7;
  std::vector<VirtualDisplayRequest> requests;

  bool isSupported() override { return supported; }
  std::unique_ptr<VirtualDisplayBacking> create(const VirtualDisplayRequest& request) override {
    requests.push_back(request);
    return std::make_unique<Backing>(nextID);
  }
};

}  // namespace tavelin::testing
