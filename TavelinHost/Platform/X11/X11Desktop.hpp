#pragma once

#include <memory>

#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinHost/Platform/X11/X11Connection.hpp"

// The window server, application registry and window control of an X11 desktop: EWMH with a
// window manager, the ICCCM walk without one.
namespace tavelin::x11 {

class X11WindowServer final : public WindowServer {
 public:
  explicit X11WindowServer(std::shared_ptr<Connection> connection) : x_(std::move(connection)) {}

  std::vector<LiveWindow> onScreenWindows() override;
  std::optional<LiveWindow> window(std::uint32_t windowID) override;
  std::vector<DisplayDescription> displays() override;
  std::int32_t ownProcessID() const override;

  // Application windows, front to back, on screen or not.
  std::vector<LiveWindow> allWindows();

 private:
  std::shared_ptr<Connection> x_;
};

class X11ApplicationRegistry final : public ApplicationRegistry {
 public:
  explicit X11ApplicationRegistry(std::shared_ptr<Connection> connection)
      : x_(std::move(connection)) {}
  std::optional<std::string> bundleIdentifier(std::int32_t processID) override;
  bool activate(std::int32_t processID) override;

 private:
  std::shared_ptr<Connection> x_;
};

class X11WindowControl final : public WindowControl {
 public:
  explicit X11WindowControl(std::shared_ptr<Connection> connection) : x_(std::move(connection)) {}
  bool isTrusted() const override { return true; }  // X11 asks no permission for this
  std::optional<std::vector<ControlledWindow>> windows(std::int32_t processID) override;
  bool setPosition(std::uint32_t handle, const ScreenPoint& origin) override;
  bool raise(std::uint32_t handle) override;

 private:
  std::shared_ptr<Connection> x_;
};

}  // namespace tavelin::x11
