#pragma once

#include <xcb/randr.h>

#include <memory>
#include <vector>

#include "TavelinHost/Platform/VirtualDisplayPlatform.hpp"
#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::x11 {

// A virtual display on X11: a user-defined RandR monitor over framebuffer area that no output
// shows. The framebuffer is enlarged for it where the server allows (and given back when the
// display goes); a server that cannot grow (Xvfb) may already have such free area. The monitor
// is named after the request, so one left behind by a host that crashed is found and removed
// before a new one is made. On Xorg the pointer stays on the real outputs: windows parked there
// can be watched, but input into them is limited.
// RandR SetMonitor sent as its bytes: libxcb 1.15's own encoding of it breaks the connection.
// Whether the server accepted it.
bool setMonitor(Connection& x, xcb_randr_monitor_info_t monitor,
                const std::vector<xcb_randr_output_t>& outputs = {});

class X11VirtualDisplayPlatform final : public VirtualDisplayPlatform {
 public:
  explicit X11VirtualDisplayPlatform(std::shared_ptr<Connection> connection)
      : x_(std::move(connection)) {}

  bool isSupported() override;
  std::unique_ptr<VirtualDisplayBacking> create(const VirtualDisplayRequest& request) override;

  // Removes a monitor of that name left by an earlier run, and gives back the framebuffer it
  // had enlarged. Whether there was one.
  bool removeStale(const std::string& name);

 private:
  std::shared_ptr<Connection> x_;
};

}  // namespace tavelin::x11
