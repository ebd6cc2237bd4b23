#include "TavelinHost/Platform/X11/X11VirtualDisplay.hpp"

#include <sys/uio.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavelin::x11 {

namespace {

// Where the framebuffer size before enlarging is kept: on the root window, so that it outlives
// a host that crashes.
constexpr std::string_view savedSizeProperty = "_TAVELIN_FRAMEBUFFER";

struct Layout {
  int width = 0, height = 0;        // the framebuffer in pixels
  int widthMM = 0, heightMM = 0;    // and in millimetres
  int right = 0;                    // the right edge of the monitors shown
  int maxWidth = 0, maxHeight = 0;  // the largest framebuffer the server allows
};

std::optional<Layout> layoutOf(Connection& x, xcb_atom_t ignoring) {
  xcb_connection_t* c = x.get();
  auto version = own(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!version || (version->major_version == 1 && version->minor_version < 5)) return std::nullopt;
  auto monitors =
      own(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root(), 1), nullptr));
  auto range = own(xcb_randr_get_screen_size_range_reply(
      c, xcb_randr_get_screen_size_range(c, x.root()), nullptr));
  auto geometry = own(xcb_get_geometry_reply(c, xcb_get_geometry(c, x.root()), nullptr));
  if (!monitors || !range || !geometry) return std::nullopt;
  Layout layout;
  layout.width = geometry->width;
  layout.height = geometry->height;
  layout.widthMM = x.screen().width_in_millimeters;
  layout.heightMM = x.screen().height_in_millimeters;
  layout.maxWidth = range->max_width;
  layout.maxHeight = range->max_height;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    if (it.data->name == ignoring) continue;
    layout.right = std::max(layout.right, it.data->x + it.data->width);
  }
  return layout;
}

bool setScreenSize(Connection& x, const Layout& now, int width, int height) {
  const double perPixel = now.width > 0 ? static_cast<double>(now.widthMM) / now.width : 0.26;
  auto error = own(xcb_request_check(
      x.get(),
      xcb_randr_set_screen_size_checked(
          x.get(), x.root(), static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height),
          static_cast<std::uint32_t>(std::lround(width * perPixel)),
          static_cast<std::uint32_t>(std::lround(height * perPixel)))));
  return !error;
}

class X11VirtualDisplay final : public VirtualDisplayBacking {
 public:
  X11VirtualDisplay(std::shared_ptr<Connection> x, xcb_atom_t name)
      : x_(std::move(x)), name_(name) {}
  ~X11VirtualDisplay() override { remove(*x_, name_); }
  std::uint32_t displayID() const override { return name_; }

  // Deletes the monitor and gives back the framebuffer area it was given.
  static void remove(Connection& x, xcb_atom_t name) {
    xcb_connection_t* c = x.get();
    std::free(xcb_request_check(c, xcb_randr_delete_monitor_checked(c, x.root(), name)));
    if (const auto saved = x.cardinals(x.root(), savedSizeProperty, XCB_ATOM_CARDINAL);
        saved && saved->size() == 2) {
      if (const auto layout = layoutOf(x, name)) {
        setScreenSize(x, *layout, static_cast<int>((*saved)[0]), static_cast<int>((*saved)[1]));
      }
      xcb_delete_property(c, x.root(), x.atom(savedSizeProperty));
    }
    x.sync();
  }

 private:
  std::shared_ptr<Connection> x_;
  xcb_atom_t name_;
};

bool hasMonitor(Connection& x, xcb_atom_t name) {
  auto monitors = own(
      xcb_randr_get_monitors_reply(x.get(), xcb_randr_get_monitors(x.get(), x.root(), 0), nullptr));
  if (!monitors) return false;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    if (it.data->name == name) return true;
  }
  return false;
}

}  // namespace

bool setMonitor(Connection& x, xcb_randr_monitor_info_t monitor,
                const std::vector<xcb_randr_output_t>& outputs) {
  // Header (4 bytes, filled in by xcb) and the root window, the monitor, its outputs.
  monitor.nOutput = static_cast<std::uint16_t>(outputs.size());
  std::uint32_t head[2] = {0, x.root()};
  iovec parts[5]{};  // xcb uses the two before the request itself
  parts[2] = {head, sizeof head};
  parts[3] = {&monitor, sizeof monitor};
  parts[4] = {const_cast<xcb_randr_output_t*>(outputs.data()), 4 * outputs.size()};
  xcb_protocol_request_t request{3, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
  const unsigned sequence = xcb_send_request(x.get(), XCB_REQUEST_CHECKED, parts + 2, &request);
  auto error = own(xcb_request_check(x.get(), xcb_void_cookie_t{sequence}));
  return sequence != 0 && !error;
}

bool X11VirtualDisplayPlatform::isSupported() {
  const auto layout = layoutOf(*x_, XCB_NONE);
  // Free area right of the monitors, or a framebuffer that may grow.
  return layout && (layout->width - layout->right >= 2 || layout->maxWidth - layout->right >= 2);
}

bool X11VirtualDisplayPlatform::removeStale(const std::string& name) {
  const xcb_atom_t atom = x_->atom(name);
  const bool stale = hasMonitor(*x_, atom) ||
                     x_->cardinals(x_->root(), savedSizeProperty, XCB_ATOM_CARDINAL).has_value();
  if (stale) X11VirtualDisplay::remove(*x_, atom);
  return stale;
}

std::unique_ptr<VirtualDisplayBacking> X11VirtualDisplayPlatform::create(
    const VirtualDisplayRequest& request) {
  const xcb_atom_t name = x_->atom(request.name);
  if (name == XCB_NONE) return nullptr;
  removeStale(request.name);
  const auto layout = layoutOf(*x_, name);
  if (!layout) return nullptr;
  const int width = static_cast<int>(request.widthPixels);
  const int height = static_cast<int>(request.heightPixels);
  const int x = layout->right;
  const int neededWidth = x + width;
  const int neededHeight = std::max(layout->height, height);
  if (neededWidth > 32767 || neededHeight > 32767) return nullptr;
  if (neededWidth > layout->width || neededHeight > layout->height) {
    if (neededWidth > layout->maxWidth || neededHeight > layout->maxHeight) return nullptr;
    // Remember the size to give back before changing it.
    const std::uint32_t saved[] = {static_cast<std::uint32_t>(layout->width),
                                   static_cast<std::uint32_t>(layout->height)};
    xcb_change_property(x_->get(), XCB_PROP_MODE_REPLACE, x_->root(), x_->atom(savedSizeProperty),
                        XCB_ATOM_CARDINAL, 32, 2, saved);
    if (!setScreenSize(*x_, *layout, std::max(neededWidth, layout->width), neededHeight)) {
      xcb_delete_property(x_->get(), x_->root(), x_->atom(savedSizeProperty));
      x_->sync();
      return nullptr;
    }
  }
  xcb_randr_monitor_info_t monitor{};
  monitor.name = name;
  monitor.x = static_cast<std::int16_t>(x);
  monitor.y = 0;
  monitor.width = static_cast<std::uint16_t>(width);
  monitor.height = static_cast<std::uint16_t>(height);
  monitor.width_in_millimeters = static_cast<std::uint32_t>(std::lround(request.widthMillimeters));
  monitor.height_in_millimeters =
      static_cast<std::uint32_t>(std::lround(request.heightMillimeters));
  auto display = std::make_unique<X11VirtualDisplay>(x_, name);  // removes what follows if need be
  const bool accepted = setMonitor(*x_, monitor);
  x_->sync();
  if (!accepted || !hasMonitor(*x_, name)) return nullptr;
  return display;
}

}  // namespace tavelin::x11
