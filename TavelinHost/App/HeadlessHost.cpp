#include "TavelinHost/App/HeadlessHost.hpp"

#include <sstream>

#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin {

namespace {

std::string printable(const std::string& text) { return unicode::removeControls(text); }

std::vector<std::string> words(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> result;
  for (std::string word; stream >> word;) result.push_back(word);
  return result;
}

std::optional<double> number(const std::string& text) {
  try {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used == text.size() && std::isfinite(value)) return value;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::optional<std::uint32_t> windowID(const std::string& text) {
  try {
    std::size_t used = 0;
    const unsigned long value = std::stoul(text, &used, 0);  // decimal or 0x…
    if (used == text.size() && value <= 0xFFFFFFFFul) return static_cast<std::uint32_t>(value);
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

}  // namespace

const char* HeadlessHost::help() {
  return "commands: allow <request id> | deny <request id> | pin | windows | portals | "
         "add screen [x y w h] | add window <window id> | add region <window id> <x> <y> <w> <h> "
         "(fractions of the window) | start <portal id> | stop <portal id> | stop all | "
         "activate <portal id> | delete <portal id> | devices | revoke <device id> | revoke all | "
         "help | quit";
}

HeadlessHost::HeadlessHost(AppModel& model, Emit emit, bool showQrCode)
    : model_(model), emit_(std::move(emit)), showQrCode_(showQrCode) {
  connect(&model_, &AppModel::connectionURLChanged, this, [this] {
    emit_("URL " + model_.connectionURL().toStdString());
    if (showQrCode_ && model_.canShare()) {
      emit_(terminalQrCode(model_.connectionURL().toStdString()));
    }
  });
  connect(&model_, &AppModel::pinChanged, this,
          [this] { emit_("PIN " + model_.pin().toStdString()); });
  connect(&model_, &AppModel::pendingRequestsChanged, this, [this] {
    for (const auto& request : model_.pendingRequests()) {
      if (announcedRequests_.insert(request.id).second) {
        emit_("REQUEST " + request.id.string() + " " + printable(request.deviceName));
      }
    }
  });
  connect(&model_, &AppModel::devicePaired, this, [this](const PairedDevice& device) {
    emit_("PAIRED " + device.id.string() + " " + printable(device.name));
  });
  connect(&model_, &AppModel::connectedDeviceIDsChanged, this, [this] {
    const auto now = model_.connectedDeviceIDs();
    for (const auto& id : now) {
      if (!connected_.contains(id)) emit_("CONNECTED " + id.string());
    }
    for (const auto& id : connected_) {
      if (!now.contains(id)) emit_("DISCONNECTED " + id.string());
    }
    connected_ = now;
  });
  connect(
      &model_, &AppModel::inputReceived, this,
      [this](const Uuid&, const InputMessage& message) { emit_("INPUT " + message.jsonString()); });
  connect(&model_, &AppModel::logEntryAdded, this, [this](const LogEntry& entry) {
    emit_("LOG [" + entry.category + "] " + printable(entry.message));
  });
}

void HeadlessHost::start() {
  model_.didStart = true;
  model_.start();
  emit_("PIN " + model_.pin().toStdString());
  if (model_.portals().empty()) command("add screen");
}

void HeadlessHost::listWindows(const std::function<void(const std::vector<WindowInfo>&)>& then) {
  const auto& environment = model_.environment();
  if (!environment.capture || !environment.windows) {
    then({});
    return;
  }
  WindowEnumerator::windows(*environment.capture, environment.windows->ownProcessID(), then);
}

std::optional<Portal> HeadlessHost::portalNamed(const std::string& id) const {
  const auto parsed = Uuid::parse(id);
  for (const auto& portal : model_.portals()) {
    if (parsed && portal.id == *parsed) return portal;
  }
  return std::nullopt;
}

bool HeadlessHost::command(const std::string& line) {
  const auto w = words(line);
  if (w.empty()) return true;
  const std::string& verb = w[0];
  auto error = [&](const std::string& reason) { emit_("ERROR " + reason); };
  auto announce = [&](const Portal& portal) {
    emit_("OK portal " + portal.id.string() + " " + std::string(rawValue(portal.type())) + " " +
          printable(portal.name));
  };

  if (verb == "quit") {
    emit_("OK");
    return false;
  }
  if (verb == "help") {
    emit_(std::string("OK ") + help());
  } else if (verb == "pin" && w.size() == 1) {
    model_.newPin();
    emit_("OK");
  } else if ((verb == "allow" || verb == "deny") && w.size() == 2) {
    const auto id = Uuid::parse(w[1]);
    // Whether it waits is decided once, by the answer itself: a click in the window a moment
    // earlier makes this one a no-op that says so.
    if (!id || !(verb == "allow" ? model_.approve(*id) : model_.deny(*id))) {
      return error("no waiting request " + w[1] + " (already answered, or gone)"), true;
    }
    emit_("OK");
  } else if (verb == "windows" && w.size() == 1) {
    listWindows([&](const std::vector<WindowInfo>& windows) {
      emit_("OK windows " + std::to_string(windows.size()));
      for (const auto& window : windows) {
        emit_("OK window " + std::to_string(window.id) + " " + printable(window.applicationName) +
              " \u2014 " + printable(window.title));
      }
    });
  } else if (verb == "portals" && w.size() == 1) {
    const auto portals = model_.portals();
    emit_("OK portals " + std::to_string(portals.size()));
    for (const auto& portal : portals) {
      const std::string sharing = !portal.shared                         ? " (not shared)"
                                  : model_.activePortalID() == portal.id ? " (shared, active)"
                                                                         : " (shared)";
      emit_("OK portal " + portal.id.string() + " " + std::string(rawValue(portal.type())) + " " +
            printable(portal.name) + sharing);
    }
  } else if (verb == "add" && w.size() >= 2 && w[1] == "screen" &&
             (w.size() == 2 || w.size() == 6)) {
    std::optional<ScreenRect> area;
    if (w.size() == 6) {
      const auto x = number(w[2]), y = number(w[3]), width = number(w[4]), height = number(w[5]);
      if (!x || !y || !width || !height || *width <= 0 || *height <= 0) {
        return error("a region is x y width height, width and height above 0"), true;
      }
      area = ScreenRect{*x, *y, *width, *height};
    } else if (model_.environment().windows) {
      if (const auto main = DisplayManager::mainDisplay(
              DisplayManager::displays(*model_.environment().windows))) {
        area = main->bounds;
      }
    }
    if (!area) return error("no display to share"), true;
    const auto before = model_.portals().size();
    if (w.size() == 2) {
      model_.add(Portal{Uuid::random(), "Screen", model_.environment().clock(),
                        ScreenRegionPortalData{*area, 0, false}});
    } else {
      model_.completeScreenRegionSelection(area, std::nullopt);
    }
    if (model_.portals().size() == before) return error("the portal could not be stored"), true;
    announce(model_.portals().back());
  } else if (verb == "add" && w.size() >= 3 && (w[1] == "window" || w[1] == "region")) {
    const auto id = windowID(w[2]);
    const bool isRegion = w[1] == "region";
    if (!id || (isRegion ? w.size() != 7 : w.size() != 3)) {
      return error(isRegion ? "usage: add region <window id> <x> <y> <w> <h>"
                            : "usage: add window <window id>"),
             true;
    }
    std::optional<NormalizedRect> region;
    if (isRegion) {
      const auto x = number(w[3]), y = number(w[4]), width = number(w[5]), height = number(w[6]);
      const NormalizedRect candidate{x.value_or(-1), y.value_or(-1), width.value_or(-1),
                                     height.value_or(-1)};
      if (!x || !y || !width || !height || candidate.x < 0 || candidate.y < 0 ||
          candidate.width <= 0 || candidate.height <= 0 || candidate.x + candidate.width > 1 ||
          candidate.y + candidate.height > 1) {
        return error("a window region is x y w h, fractions of the window within 0…1"), true;
      }
      region = candidate;
    }
    bool done = false;
    listWindows([&](const std::vector<WindowInfo>& windows) {
      const auto found = std::find_if(windows.begin(), windows.end(),
                                      [&](const WindowInfo& window) { return window.id == *id; });
      if (found == windows.end()) return;
      done = true;
      const auto before = model_.portals().size();
      if (region) {
        const PixelSize size{static_cast<std::int64_t>(found->frame.width),
                             static_cast<std::int64_t>(found->frame.height)};
        model_.completeWindowRegionSelection(*found, *region, region->toPixel(size), std::nullopt);
      } else {
        model_.completeWindowSelection(*found, std::nullopt);
      }
      if (model_.portals().size() > before) {
        announce(model_.portals().back());
      } else {
        error("the portal could not be stored");
      }
    });
    if (!done) error("no shareable window " + w[2] + " (see: windows)");
  } else if (verb == "stop" && w.size() == 2 && w[1] == "all") {
    model_.stopAllSharing();
    emit_("OK");
  } else if ((verb == "start" || verb == "stop") && w.size() == 2) {
    const auto portal = portalNamed(w[1]);
    if (!portal) return error("no portal " + w[1] + " (see: portals)"), true;
    verb == "start" ? model_.startSharing(*portal) : model_.stopSharing(*portal);
    emit_("OK");
  } else if ((verb == "activate" || verb == "delete") && w.size() == 2) {
    const auto portal = portalNamed(w[1]);
    if (!portal) return error("no portal " + w[1] + " (see: portals)"), true;
    verb == "activate" ? model_.activate(*portal) : model_.remove(*portal);
    emit_("OK");
  } else if (verb == "devices" && w.size() == 1) {
    const auto devices = model_.devices();
    const auto connected = model_.connectedDeviceIDs();
    emit_("OK devices " + std::to_string(devices.size()));
    for (const auto& device : devices) {
      emit_("OK device " + device.id.string() + " " + printable(device.name) + " paired " +
            formatISO8601(device.pairedAt) + (connected.contains(device.id) ? " (connected)" : ""));
    }
  } else if (verb == "revoke" && w.size() == 2) {
    if (w[1] == "all") {
      model_.revokeAll();
      emit_("OK");
      return true;
    }
    const auto id = Uuid::parse(w[1]);
    const auto devices = model_.pairing().pairedDevices();
    if (!id || std::none_of(devices.begin(), devices.end(),
                            [&](const PairedDevice& d) { return d.id == *id; })) {
      return error("no paired device " + w[1] + " (see: devices)"), true;
    }
    model_.revoke(*id);
    emit_("OK");
  } else {
    error("unknown command: " + printable(line) + " (try: help)");
  }
  return true;
}

}  // namespace tavelin
