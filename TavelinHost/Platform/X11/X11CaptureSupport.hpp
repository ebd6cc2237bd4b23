#pragma once

#include <xcb/xcb.h>

#include <optional>
#include <system_error>

#include "TavelinKit/Model/Geometry.hpp"

// What the capture service and its streams both ask of the X server.
namespace tavelin::x11 {

// Whether the server has the SHM, Composite, DAMAGE and XFixes extensions, each told which
// version we speak (extensions must be told that before anything else).
bool initialiseExtensions(xcb_connection_t* c);

// The error a capture reports; the service and its streams speak std::errc.
std::error_code captureError(std::errc code);

// A client window's area in root coordinates (inside its border, without the frame).
std::optional<ScreenRect> clientArea(xcb_connection_t* c, xcb_window_t root, xcb_window_t window);

}  // namespace tavelin::x11
