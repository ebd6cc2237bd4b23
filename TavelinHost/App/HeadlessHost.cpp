#include "TavelinHost/App/HeadlessHost.hpp"

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/App/QrCode.hpp"
#include "TavelinHost/Runtime/HostLines.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"

namespace tavelin {

namespace {

using Words = CommandLine::Words;
using Reply = CommandLine::Reply;

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

// Four numbers from words[from]; nothing when one is not a number.
std::optional<std::array<double, 4>> rectangle(const Words& words, std::size_t from) {
  std::array<double, 4> values{};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto value = number(words[from + i]);
    if (!value) return std::nullopt;
    values[i] = *value;
  }
  return values;
}

std::string scaleText(double scale) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << scale;
  return text.str();
}

// "OK display <id> <x> <y> <width> <height> <scale>", then " main" and " virtual" as they apply.
std::string displayLine(const DisplayInfo& display, bool main, bool isVirtual) {
  const auto whole = [](double value) { return std::to_string(std::llround(value)); };
  std::string line = "OK display " + std::to_string(display.id) + " " + whole(display.bounds.x) +
                     " " + whole(display.bounds.y) + " " + whole(display.bounds.width) + " " +
                     whole(display.bounds.height) + " " + scaleText(display.scale);
  if (main) line += " main";
  if (isVirtual) line += " virtual";
  return line;
}

}  // namespace

HeadlessHost::HeadlessHost(AppModel& model, Emit emit, bool showQrCode)
    : model_(model), emit_(std::move(emit)), showQrCode_(showQrCode), commands_(emit_) {
  addSharingCommands(commands_, *this);
  addDesktopCommands();
  auto& connection = model_.connection();
  auto& phones = model_.phones();
  connect(&connection, &HostConnection::connectionURLChanged, this, [this] {
    const std::string url = model_.connection().connectionURL().toStdString();
    emit_(hostLines::url(url));
    if (showQrCode_ && model_.connection().canShare()) emit_(terminalQrCode(url));
  });
  connect(&phones, &Phones::pinChanged, this,
          [this] { emit_(hostLines::pin(model_.phones().pin().toStdString())); });
  connect(&phones, &Phones::pendingRequestsChanged, this, [this] {
    for (const auto& request : model_.phones().pendingRequests()) {
      if (announcedRequests_.insert(request.id).second) {
        emit_(hostLines::request(request.id, request.deviceName));
      }
    }
  });
  connect(&phones, &Phones::devicePaired, this,
          [this](const PairedDevice& device) { emit_(hostLines::paired(device.id, device.name)); });
  connect(&connection, &HostConnection::connectedDeviceIDsChanged, this, [this] {
    const auto now = model_.connection().connectedDeviceIDs();
    for (const auto& id : now) {
      if (!connected_.contains(id)) emit_(hostLines::connected(id));
    }
    for (const auto& id : connected_) {
      if (!now.contains(id)) emit_(hostLines::disconnected(id));
    }
    connected_ = now;
  });
  connect(&model_.sharing(), &PortalSharing::inputReceived, this,
          [this](const Uuid&, const InputMessage& message) { emit_(hostLines::input(message)); });
  connect(&model_.activity(), &ActivityLog::entryAdded, this,
          [this](const LogEntry& entry) { emit_(hostLines::log(entry.category, entry.message)); });
}

void HeadlessHost::start() {
  model_.didStart = true;
  model_.start();
  emit_(hostLines::pin(model_.phones().pin().toStdString()));
  if (model_.sharing().portals().empty()) command("add screen");
}

void HeadlessHost::newPin() { model_.phones().newPin(); }

PendingPairingStore::Decision HeadlessHost::answer(const Uuid& request, bool allow) {
  return allow ? model_.phones().approve(request) : model_.phones().deny(request);
}

std::vector<SharingHost::PortalEntry> HeadlessHost::portalEntries() const {
  std::vector<PortalEntry> entries;
  for (const auto& portal : model_.sharing().portals()) {
    entries.push_back({portal, model_.sharing().activePortalID() == portal.id});
  }
  return entries;
}

bool HeadlessHost::setShared(const Uuid& id, bool shared) {
  const auto portal = model_.sharing().find(id);
  if (!portal) return false;
  shared ? model_.sharing().startSharing(*portal) : model_.sharing().stopSharing(*portal);
  return true;
}

void HeadlessHost::stopAllSharing() { model_.sharing().stopAllSharing(); }

std::optional<Portal> HeadlessHost::portalNamed(const std::string& id) const {
  const auto parsed = Uuid::parse(id);
  return parsed ? model_.sharing().find(*parsed) : std::nullopt;
}

std::optional<Uuid> HeadlessHost::pairedDeviceNamed(const std::string& id) const {
  const auto parsed = Uuid::parse(id);
  if (!parsed || !model_.phones().device(*parsed)) return std::nullopt;
  return parsed;
}

void HeadlessHost::addDesktopCommands() {
  auto added = [this](std::size_t before, const Reply& reply) {
    const auto& portals = model_.sharing().portals();
    if (portals.size() == before) return reply.error("the portal could not be stored");
    reply.line(hostLines::portal(portals.back()));
  };
  commands_.add("windows", "windows", [this](const Words& words, const Reply& reply) {
    if (words.size() != 1) return reply.error("usage: windows");
    const auto windows = model_.desktop().windowsNow();
    reply.ok("windows " + std::to_string(windows.size()));
    for (const auto& window : windows) {
      reply.line("OK window " + std::to_string(window.id) + " " +
                 hostLines::printable(window.applicationName) + " \u2014 " +
                 hostLines::printable(window.title));
    }
  });
  static const std::string addUsage =
      "add screen [x y w h] | add virtual | add window <window id> | add window (in the "
      "desktop's chooser, where it has one) | add region <window id> <x> <y> <w> <h> (fractions "
      "of the window)";
  commands_.add("add", addUsage, [this, added](const Words& words, const Reply& reply) {
    const std::string what = words.size() > 1 ? words[1] : "";
    const auto before = model_.sharing().portals().size();
    if (what == "screen" && (words.size() == 2 || words.size() == 6)) {
      if (words.size() == 2) {
        const auto main = model_.desktop().mainDisplay();
        if (!main) return reply.error("no display to share");
        model_.targets().chooseWholeScreen(main->bounds);
        return added(before, reply);
      }
      const auto r = rectangle(words, 2);
      if (!r || (*r)[2] <= 0 || (*r)[3] <= 0) {
        return reply.error("a region is x y width height, width and height above 0");
      }
      model_.targets().chooseScreenRegion(ScreenRect{(*r)[0], (*r)[1], (*r)[2], (*r)[3]},
                                          std::nullopt);
      return added(before, reply);
    }
    if (what == "virtual" && words.size() == 2) {
      const auto display = model_.desktop().virtualDisplayBounds();
      if (!display) return reply.error("no virtual display (see: virtual create)");
      model_.targets().chooseVirtualScreenRegion(display->bounds);
      return added(before, reply);
    }
    if (what == "window" && words.size() == 2 && model_.desktop().choosesWindowsInDesktop()) {
      // Answered once the person at the desk has picked a window in the desktop's chooser.
      model_.desktop().chooseWindowInDesktop(
          [this, added, before](std::optional<WindowInfo> window, const QString& why) {
            const Reply later(emit_);
            if (!window) return later.error("no window chosen: " + why.toStdString());
            model_.targets().chooseWindow(*window, std::nullopt);
            added(before, later);
          });
      return;
    }
    const bool isRegion = what == "region";
    if ((what == "window" || isRegion) && !model_.desktop().noWindowsNote().isEmpty()) {
      return reply.error(model_.desktop().noWindowsNote().toStdString());
    }
    if ((what != "window" && !isRegion) || words.size() != (isRegion ? 7u : 3u)) {
      return reply.error(isRegion           ? "usage: add region <window id> <x> <y> <w> <h>"
                         : what == "window" ? "usage: add window <window id>"
                                            : "usage: " + addUsage);
    }
    const auto id = windowID(words[2]);
    std::optional<NormalizedRect> region;
    if (isRegion) {
      const auto r = rectangle(words, 3);
      const NormalizedRect candidate =
          r ? NormalizedRect{(*r)[0], (*r)[1], (*r)[2], (*r)[3]} : NormalizedRect{-1, -1, -1, -1};
      if (candidate.x < 0 || candidate.y < 0 || candidate.width <= 0 || candidate.height <= 0 ||
          candidate.x + candidate.width > 1 || candidate.y + candidate.height > 1) {
        return reply.error("a window region is x y w h, fractions of the window within 0…1");
      }
      region = candidate;
    }
    const auto windows = model_.desktop().windowsNow();
    const auto found = std::find_if(windows.begin(), windows.end(),
                                    [&](const auto& window) { return id && window.id == *id; });
    if (found == windows.end()) {
      return reply.error("no shareable window " + hostLines::printable(words[2]) +
                         " (see: windows)");
    }
    if (region) {
      const PixelSize size{static_cast<std::int64_t>(found->frame.width),
                           static_cast<std::int64_t>(found->frame.height)};
      model_.targets().chooseWindowRegion(*found, *region, region->toPixel(size), std::nullopt);
    } else {
      model_.targets().chooseWindow(*found, std::nullopt);
    }
    added(before, reply);
  });
  commands_.add("displays", "displays", [this](const Words& words, const Reply& reply) {
    if (words.size() != 1) return reply.error("usage: displays");
    const auto displays = model_.desktop().displays();
    const auto main = model_.desktop().mainDisplay();
    const auto virtualID = model_.desktop().virtualDisplayID();
    reply.ok("displays " + std::to_string(displays.size()));
    for (const auto& display : displays) {
      reply.line(displayLine(display, main && main->id == display.id,
                             virtualID && *virtualID == display.id));
    }
  });
  static const std::string virtualUsage = "virtual create [<width> <height>] | virtual remove";
  commands_.add("virtual", virtualUsage, [this](const Words& words, const Reply& reply) {
    auto& desktop = model_.desktop();
    if (words.size() == 2 && words[1] == "remove") {
      desktop.removeVirtualDisplay();
      return reply.ok();
    }
    if (words.size() < 2 || words[1] != "create" || (words.size() != 2 && words.size() != 4)) {
      return reply.error("usage: " + virtualUsage);
    }
    std::uint32_t width = 1920, height = 1080;
    if (words.size() == 4) {
      const auto w = number(words[2]), h = number(words[3]);
      if (!w || !h || *w < 2 || *h < 2 || *w > 16384 || *h > 16384 || *w != std::floor(*w) ||
          *h != std::floor(*h)) {
        return reply.error("a virtual display is 2 to 16384 whole pixels a side");
      }
      width = static_cast<std::uint32_t>(*w);
      height = static_cast<std::uint32_t>(*h);
    }
    if (desktop.virtualDisplayActive()) {
      return reply.error("there is a virtual display already (virtual remove first)");
    }
    desktop.createVirtualDisplay(width, height);
    const auto bounds = desktop.virtualDisplayBounds();
    if (!bounds) return reply.error("could not create a virtual display (see the log)");
    reply.line(displayLine(*bounds, false, true));
  });
  const auto portalCommand = [this](const Words& words, const Reply& reply) {
    if (words.size() != 2) return reply.error("usage: " + words[0] + " <portal id>");
    const auto portal = portalNamed(words[1]);
    if (!portal) {
      return reply.error("no portal " + hostLines::printable(words[1]) + " (see: portals)");
    }
    words[0] == "activate" ? model_.sharing().activate(*portal) : model_.sharing().remove(*portal);
    reply.ok();
  };
  commands_.add("activate", "activate <portal id>", portalCommand);
  commands_.add("delete", "delete <portal id>", portalCommand);
  commands_.add("devices", "devices", [this](const Words& words, const Reply& reply) {
    if (words.size() != 1) return reply.error("usage: devices");
    const auto& devices = model_.phones().devices();
    const auto& connected = model_.connection().connectedDeviceIDs();
    reply.ok("devices " + std::to_string(devices.size()));
    for (const auto& device : devices) {
      reply.line("OK device " + device.id.string() + " " + hostLines::printable(device.name) +
                 " paired " + formatISO8601(device.pairedAt) +
                 (connected.contains(device.id) ? " (connected)" : ""));
    }
  });
  commands_.add("sessions", "sessions", [this](const Words& words, const Reply& reply) {
    if (words.size() != 1) return reply.error("usage: sessions");
    const auto streams = model_.connection().streams();
    reply.ok("sessions " + std::to_string(streams.size()));
    for (const auto& stream : streams) {
      reply.line("OK session " + stream.device.string() + " " +
                 (stream.portal ? stream.portal->string() : std::string("-")) + " " +
                 (stream.address.empty() ? std::string("-") : stream.address) + " " +
                 formatISO8601(stream.since));
    }
  });
  commands_.add("disconnect", "disconnect <device id>",
                [this](const Words& words, const Reply& reply) {
                  if (words.size() != 2) return reply.error("usage: disconnect <device id>");
                  const auto id = pairedDeviceNamed(words[1]);
                  if (!id) {
                    return reply.error("no paired device " + hostLines::printable(words[1]) +
                                       " (see: devices)");
                  }
                  model_.connection().disconnect(*id);
                  reply.ok();
                });
  commands_.add("revoke", "revoke <device id> | revoke all",
                [this](const Words& words, const Reply& reply) {
                  if (words.size() != 2) return reply.error("usage: revoke <device id>");
                  if (words[1] == "all") {
                    model_.phones().revokeAll();
                    return reply.ok();
                  }
                  const auto id = pairedDeviceNamed(words[1]);
                  if (!id) {
                    return reply.error("no paired device " + hostLines::printable(words[1]) +
                                       " (see: devices)");
                  }
                  model_.phones().revoke(*id);
                  reply.ok();
                });
}

}  // namespace tavelin
