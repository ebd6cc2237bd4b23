#pragma once

#include <xcb/xcb.h>

#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::testing {

// Asks the window manager to minimise a window, as a taskbar does (ICCCM WM_CHANGE_STATE with
// IconicState).
inline void minimiseWindow(x11::Connection& x, xcb_window_t window) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = x.atom("WM_CHANGE_STATE");
  event.data.data32[0] = 3;  // IconicState
  xcb_send_event(x.get(), 0, x.root(),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&event));
  x.flush();
}

}  // namespace tavelin::testing
