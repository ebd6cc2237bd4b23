#include "TavelinHost/Platform/X11/X11CaptureSupport.hpp"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::x11 {

namespace {

bool hasExtension(xcb_connection_t* c, xcb_extension_t* extension) {
  const auto* data = xcb_get_extension_data(c, extension);
  return data != nullptr && data->present;
}

}  // namespace

bool initialiseExtensions(xcb_connection_t* c) {
  if (!hasExtension(c, &xcb_shm_id) || !hasExtension(c, &xcb_composite_id) ||
      !hasExtension(c, &xcb_damage_id) || !hasExtension(c, &xcb_xfixes_id)) {
    return false;
  }
  auto xfixes = own(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 6, 0), nullptr));
  auto damage = own(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  auto composite =
      own(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
  auto shm = own(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  return xfixes && damage && composite && shm;
}

std::error_code captureError(std::errc code) { return std::make_error_code(code); }

std::optional<ScreenRect> clientArea(xcb_connection_t* c, xcb_window_t root, xcb_window_t window) {
  auto geometry = own(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
  auto origin = own(xcb_translate_coordinates_reply(
      c, xcb_translate_coordinates(c, window, root, 0, 0), nullptr));
  if (!geometry || !origin) return std::nullopt;
  return ScreenRect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                    static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
}

}  // namespace tavelin::x11
