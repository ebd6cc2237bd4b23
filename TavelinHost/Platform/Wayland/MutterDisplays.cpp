#include "TavelinHost/Platform/Wayland/MutterDisplays.hpp"

#include <algorithm>
#include <map>
#include <optional>

#include "TavelinHost/Platform/Wayland/SessionBus.hpp"

namespace tavelin::wayland {

namespace {

struct Mode {
  int width = 0;
  int height = 0;
};

// a((ssss)a(siiddada{sv})a{sv}): each monitor's connector and current mode.
int readMonitors(sd_bus_message* m, std::map<std::string, Mode>& modes) {
  int status = sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})");
  while (status >= 0 &&
         (status = sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}")) > 0) {
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    status = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial);
    if (status >= 0) status = sd_bus_message_enter_container(m, 'a', "(siiddada{sv})");
    Mode chosen;
    while (status >= 0 && (status = sd_bus_message_enter_container(m, 'r', "siiddada{sv}")) > 0) {
      const char* id = nullptr;
      Mode mode;
      double refresh = 0, preferredScale = 0;
      status = sd_bus_message_read(m, "siidd", &id, &mode.width, &mode.height, &refresh,
                                   &preferredScale);
      if (status >= 0) status = sd_bus_message_skip(m, "ad");
      int current = 0;
      if (status >= 0) {
        status = readVariantDictionary(m, [&](sd_bus_message* v, std::string_view key) {
          return key == "is-current" ? sd_bus_message_read(v, "v", "b", &current) : 0;
        });
      }
      if (status >= 0 && current) chosen = mode;
      if (status >= 0) status = sd_bus_message_exit_container(m);
    }
    if (status >= 0) status = sd_bus_message_exit_container(m);
    if (status >= 0) status = sd_bus_message_skip(m, "a{sv}");
    if (status >= 0) status = sd_bus_message_exit_container(m);
    if (status >= 0 && connector && chosen.width > 0) modes[connector] = chosen;
  }
  if (status >= 0) status = sd_bus_message_exit_container(m);
  return status;
}

struct Logical {
  int x = 0, y = 0;
  double scale = 1;
  std::uint32_t transform = 0;
  bool primary = false;
  std::vector<std::string> connectors;
};

// a(iiduba(ssss)a{sv}): where each logical monitor lies and which monitors show it.
int readLogicalMonitors(sd_bus_message* m, std::vector<Logical>& logical) {
  int status = sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})");
  while (status >= 0 &&
         (status = sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}")) > 0) {
    Logical entry;
    int primary = 0;
    status = sd_bus_message_read(m, "iidub", &entry.x, &entry.y, &entry.scale, &entry.transform,
                                 &primary);
    entry.primary = primary != 0;
    if (status >= 0) status = sd_bus_message_enter_container(m, 'a', "(ssss)");
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    while (status >= 0 && (status = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product,
                                                        &serial)) > 0) {
      entry.connectors.emplace_back(connector);
    }
    if (status >= 0) status = sd_bus_message_exit_container(m);
    if (status >= 0) status = sd_bus_message_skip(m, "a{sv}");
    if (status >= 0) status = sd_bus_message_exit_container(m);
    if (status >= 0) logical.push_back(std::move(entry));
  }
  if (status >= 0) status = sd_bus_message_exit_container(m);
  return status;
}

}  // namespace

std::uint32_t MutterDisplays::displayID(const std::string& connector) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const unsigned char c : connector) hash = (hash ^ c) * 16777619u;
  return hash == 0 ? 1 : hash;
}

std::shared_ptr<void> MutterDisplays::watch(std::function<void()> changed) {
  return bus_->subscribe("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                         "org.gnome.Mutter.DisplayConfig", "MonitorsChanged",
                         [changed = std::move(changed)](sd_bus_message*) { changed(); });
}

std::vector<MutterMonitor> MutterDisplays::monitors() {
  std::map<std::string, Mode> modes;
  std::vector<Logical> logical;
  std::uint32_t serial = 0, layoutMode = 1;
  std::string error;
  const bool read = bus_->call(
      "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
      "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr,
      [&](sd_bus_message* m) {
        int status = sd_bus_message_read(m, "u", &serial);
        if (status >= 0) status = readMonitors(m, modes);
        if (status >= 0) status = readLogicalMonitors(m, logical);
        // "layout-mode": 1 logical (sizes in points, scaled), 2 physical (sizes in pixels).
        if (status >= 0) {
          status = readVariantDictionary(m, [&](sd_bus_message* v, std::string_view key) {
            return key == "layout-mode" ? sd_bus_message_read(v, "v", "u", &layoutMode) : 0;
          });
        }
        return status;
      },
      error);
  if (!read) return {};
  std::vector<MutterMonitor> monitors;
  for (const auto& entry : logical) {
    if (entry.connectors.empty()) continue;
    const auto mode = modes.find(entry.connectors.front());
    if (mode == modes.end()) continue;
    const bool sideways = entry.transform % 2 == 1;  // 90° and 270°, flipped or not
    double width = sideways ? mode->second.height : mode->second.width;
    double height = sideways ? mode->second.width : mode->second.height;
    // In a logical layout positions and sizes are points of `scale` pixels; in a physical one
    // they are pixels.
    const double scale = layoutMode == 1 && entry.scale > 0 ? entry.scale : 1;
    width /= scale;
    height /= scale;
    monitors.push_back(
        {entry.connectors.front(),
         {displayID(entry.connectors.front()),
          {static_cast<double>(entry.x), static_cast<double>(entry.y), width, height},
          scale,
          entry.primary}});
  }
  std::stable_partition(monitors.begin(), monitors.end(),
                        [](const MutterMonitor& m) { return m.display.isMain; });
  return monitors;
}

}  // namespace tavelin::wayland
