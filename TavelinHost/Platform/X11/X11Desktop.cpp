#include "TavelinHost/Platform/X11/X11Desktop.hpp"

#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/res.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace tavelin::x11 {

namespace {

// Application windows front to back: the window manager's stacking list, or without one the
// root's children that carry a class.
std::vector<xcb_window_t> clientWindows(Connection& x) {
  std::vector<xcb_window_t> windows;
  if (x.hasWindowManager()) {
    if (auto stacking = x.cardinals(x.root(), "_NET_CLIENT_LIST_STACKING", XCB_ATOM_WINDOW)) {
      windows.assign(stacking->rbegin(), stacking->rend());
    }
    return windows;
  }
  auto tree = own(xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), x.root()), nullptr));
  if (!tree) return windows;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
    auto attributes = own(xcb_get_window_attributes_reply(
        x.get(), xcb_get_window_attributes(x.get(), children[i]), nullptr));
    if (!attributes || attributes->override_redirect ||
        attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
      continue;
    }
    if (x.bytes(children[i], "WM_CLASS")) windows.push_back(children[i]);
  }
  return windows;
}

std::string windowClass(Connection& x, xcb_window_t window) {
  const auto value = x.bytes(window, "WM_CLASS");
  if (!value) return {};
  // "instance\0class\0": the class names the application across restarts.
  const auto first = value->find('\0');
  if (first == std::string::npos) return *value;
  const auto second = value->find('\0', first + 1);
  return value->substr(first + 1,
                       second == std::string::npos ? std::string::npos : second - first - 1);
}

std::int32_t processOf(Connection& x, xcb_window_t window) {
  if (auto pid = x.cardinals(window, "_NET_WM_PID", XCB_ATOM_CARDINAL); pid && !pid->empty()) {
    return static_cast<std::int32_t>((*pid)[0]);
  }
  // Clients that do not say (Xt programs): ask the server who owns the window's connection.
  xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  auto reply = own(xcb_res_query_client_ids_reply(
      x.get(), xcb_res_query_client_ids(x.get(), 1, &query), nullptr));
  if (!reply) return 0;
  // Only the process id was asked for, so any answer with a value is it.
  for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
       xcb_res_client_id_value_next(&it)) {
    if (xcb_res_client_id_value_value_length(it.data) >= 1) {
      return static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
    }
  }
  return 0;
}

bool hasState(Connection& x, xcb_window_t window, std::string_view state) {
  const auto states = x.cardinals(window, "_NET_WM_STATE", XCB_ATOM_ATOM);
  return states && std::find(states->begin(), states->end(), x.atom(state)) != states->end();
}

int layerOf(Connection& x, xcb_window_t window) {
  const auto types = x.cardinals(window, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM);
  if (!types || types->empty()) return 0;
  for (std::string_view ordinary : {"_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
                                    "_NET_WM_WINDOW_TYPE_UTILITY"}) {
    if ((*types)[0] == x.atom(ordinary)) return 0;
  }
  return 1;  // docks, desktops, menus, notifications...
}

std::optional<LiveWindow> describe(Connection& x, xcb_window_t window) {
  auto attributes = own(xcb_get_window_attributes_reply(
      x.get(), xcb_get_window_attributes(x.get(), window), nullptr));
  auto geometry = own(xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), window), nullptr));
  auto origin = own(xcb_translate_coordinates_reply(
      x.get(), xcb_translate_coordinates(x.get(), window, x.root(), 0, 0), nullptr));
  if (!attributes || !geometry || !origin) return std::nullopt;  // gone meanwhile: normal

  // The window manager's frame around the client, less shadows drawn inside the client.
  double left = 0, right = 0, top = 0, bottom = 0;
  if (auto frame = x.cardinals(window, "_NET_FRAME_EXTENTS", XCB_ATOM_CARDINAL);
      frame && frame->size() == 4) {
    left = (*frame)[0], right = (*frame)[1], top = (*frame)[2], bottom = (*frame)[3];
  }
  if (auto shadow = x.cardinals(window, "_GTK_FRAME_EXTENTS", XCB_ATOM_CARDINAL);
      shadow && shadow->size() == 4) {
    left -= (*shadow)[0], right -= (*shadow)[1], top -= (*shadow)[2], bottom -= (*shadow)[3];
  }
  LiveWindow live;
  live.windowID = window;
  live.ownerProcessID = processOf(x, window);
  live.layer = layerOf(x, window);
  live.bounds = {origin->dst_x - left, origin->dst_y - top, geometry->width + left + right,
                 geometry->height + top + bottom};
  live.contentBounds = {static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                        static_cast<double>(geometry->width),
                        static_cast<double>(geometry->height)};
  live.name = x.title(window);
  live.ownerName = windowClass(x, window);
  live.isOnScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                    !hasState(x, window, "_NET_WM_STATE_HIDDEN");
  return live;
}

void sendToRoot(Connection& x, xcb_window_t window, std::string_view type,
                std::array<std::uint32_t, 5> data) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = x.atom(type);
  std::memcpy(event.data.data32, data.data(), sizeof event.data.data32);
  xcb_send_event(x.get(), 0, x.root(),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&event));
  x.flush();
}

}  // namespace

std::vector<LiveWindow> X11WindowServer::allWindows() {
  std::vector<LiveWindow> windows;
  for (const auto window : clientWindows(*x_)) {
    if (auto live = describe(*x_, window)) windows.push_back(std::move(*live));
  }
  return windows;
}

std::vector<LiveWindow> X11WindowServer::onScreenWindows() {
  auto windows = allWindows();
  std::erase_if(windows, [](const LiveWindow& w) { return !w.isOnScreen; });
  return windows;
}

std::optional<LiveWindow> X11WindowServer::window(std::uint32_t windowID) {
  return describe(*x_, windowID);
}

std::vector<DisplayDescription> X11WindowServer::displays() {
  std::vector<DisplayDescription> displays;
  auto monitors = own(xcb_randr_get_monitors_reply(
      x_->get(), xcb_randr_get_monitors(x_->get(), x_->root(), 1), nullptr));
  if (monitors) {
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
      const auto* m = it.data;
      displays.push_back({m->name,
                          {static_cast<double>(m->x), static_cast<double>(m->y),
                           static_cast<double>(m->width), static_cast<double>(m->height)},
                          1,
                          m->primary != 0});
    }
  }
  if (displays.empty()) {  // no monitors reported (a disabled CRTC): the whole root
    const auto& screen = x_->screen();
    displays.push_back({0,
                        {0, 0, static_cast<double>(screen.width_in_pixels),
                         static_cast<double>(screen.height_in_pixels)},
                        1,
                        true});
  }
  std::stable_partition(displays.begin(), displays.end(),
                        [](const DisplayDescription& d) { return d.isMain; });
  if (!displays.front().isMain) displays.front().isMain = true;
  return displays;
}

std::int32_t X11WindowServer::ownProcessID() const { return static_cast<std::int32_t>(::getpid()); }

std::optional<std::string> X11ApplicationRegistry::bundleIdentifier(std::int32_t processID) {
  for (const auto window : clientWindows(*x_)) {
    if (processOf(*x_, window) != processID) continue;
    for (std::string_view property : {"_GTK_APPLICATION_ID", "_KDE_NET_WM_DESKTOP_FILE"}) {
      if (auto id = x_->bytes(window, property); id && !id->empty()) return id;
    }
    if (auto cls = windowClass(*x_, window); !cls.empty()) return cls;
  }
  return std::nullopt;
}

bool X11ApplicationRegistry::activate(std::int32_t processID) {
  for (const auto window : clientWindows(*x_)) {  // front to back: its topmost window
    if (processOf(*x_, window) == processID) return X11WindowControl(x_).raise(window);
  }
  return false;
}

std::optional<std::vector<ControlledWindow>> X11WindowControl::windows(std::int32_t processID) {
  std::vector<ControlledWindow> windows;
  for (const auto window : clientWindows(*x_)) {
    if (processOf(*x_, window) != processID) continue;
    if (auto live = describe(*x_, window)) {
      windows.push_back({live->windowID, live->name, ScreenPoint{live->bounds.x, live->bounds.y}});
    }
  }
  return windows;
}

bool X11WindowControl::setPosition(std::uint32_t handle, const ScreenPoint& origin) {
  const auto x = static_cast<std::int32_t>(origin.x);
  const auto y = static_cast<std::int32_t>(origin.y);
  if (x_->hasWindowManager()) {
    constexpr std::uint32_t staticGravity = 10, hasX = 1u << 8, hasY = 1u << 9,
                            fromPager = 2u << 12;
    sendToRoot(*x_, handle, "_NET_MOVERESIZE_WINDOW",
               {staticGravity | hasX | hasY | fromPager, static_cast<std::uint32_t>(x),
                static_cast<std::uint32_t>(y), 0, 0});
    return true;
  }
  const std::uint32_t values[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
  auto error = own(xcb_request_check(
      x_->get(), xcb_configure_window_checked(x_->get(), handle,
                                              XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values)));
  return !error;
}

bool X11WindowControl::raise(std::uint32_t handle) {
  if (x_->hasWindowManager()) {
    // Source 2: a pager acting for the user, which window managers honour (and it un-minimises).
    sendToRoot(*x_, handle, "_NET_ACTIVE_WINDOW", {2, XCB_CURRENT_TIME, 0, 0, 0});
    return true;
  }
  const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
  auto error = own(xcb_request_check(
      x_->get(),
      xcb_configure_window_checked(x_->get(), handle, XCB_CONFIG_WINDOW_STACK_MODE, above)));
  if (error) return false;
  xcb_set_input_focus(x_->get(), XCB_INPUT_FOCUS_POINTER_ROOT, handle, XCB_CURRENT_TIME);
  x_->flush();
  return true;
}

}  // namespace tavelin::x11
