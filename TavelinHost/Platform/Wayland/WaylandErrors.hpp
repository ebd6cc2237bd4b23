#pragma once

#include <system_error>

namespace tavelin::wayland {

// What goes wrong between the host and a Wayland desktop, in words a user can act on.
enum class WaylandError {
  screenCastRefused = 1,  // the compositor or portal would not make the stream
  streamEnded,            // the desktop ended a stream that was running
  noStream,               // the compositor made a stream but never said where its pictures are
  noSuchMonitor,          // the display is gone
  windowsNotOffered,      // this desktop cannot stream one window by its id
  dialogCancelled,        // the user cancelled the desktop's sharing dialog
  portalSilent,           // the desktop portal never answered a request
};

const std::error_category& waylandCategory();
std::error_code make_error_code(WaylandError error);

}  // namespace tavelin::wayland

template <>
struct std::is_error_code_enum<tavelin::wayland::WaylandError> : std::true_type {};
