// tavelin-demo: the streaming server with synthetic portals, driven by a line protocol.
//   stdout: URL, PIN, REQUEST, PAIRED, CONNECTED, DISCONNECTED, INPUT, EVENT, LOG lines
//   stdin:  allow <requestId> | deny <requestId> | pin | quit
// With --desktop it shares the X11 desktop of $DISPLAY instead, one portal per
//   --window <title>        an application window with that title
//   --region <x>,<y>,<w>,<h> a screen region

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Demo/DemoHost.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11EventPoster.hpp"
#include "TavelinHost/Runtime/Console.hpp"
#include "TavelinKit/Foundation/FolderLock.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinServer/AppResources.hpp"

namespace {

std::mutex stopLock;
std::condition_variable stopRequested;
bool stopping = false;

void emit(const std::string& line) { tavelin::console::writeLine(line); }

void requestStop() {
  std::lock_guard guard(stopLock);
  stopping = true;
  stopRequested.notify_all();
}

// The desktop's services and the portals the arguments name; nothing when they cannot be had.
std::optional<tavelin::DemoHost::Desktop> desktopFromArguments(
    const std::vector<std::string>& arguments, const tavelin::HostSettings& settings) {
  using namespace tavelin;
  auto x = x11::Connection::open();
  if (!x) {
    emit("LOG [Host] No X display to share");
    return std::nullopt;
  }
  auto windows = std::make_shared<x11::X11WindowServer>(x);
  auto registry = std::make_shared<x11::X11ApplicationRegistry>(x);
  auto applications = std::make_shared<RunningApplicationCache>(registry);
  const HostLogSink log = [](std::string_view category, std::string_view message) {
    emit("LOG [" + std::string(category) + "] " + std::string(message));
  };
  DemoHost::Desktop desktop;
  desktop.factory = std::make_shared<PortalSourceFactory>(
      std::make_shared<x11::X11CaptureService>(), windows,
      std::make_shared<WindowResolver>(windows, applications, log), log,
      [pictures = settings.pictures()] { return pictures; });
  desktop.input = {std::make_shared<x11::X11EventPoster>(), windows, registry,
                   std::make_shared<x11::X11WindowControl>(x)};
  for (std::size_t i = 2; i + 1 < arguments.size(); i += 2) {  // after --desktop
    const std::string& value = arguments[i + 1];
    if (arguments[i] == "--window") {
      std::optional<LiveWindow> found;
      for (const auto& window : windows->onScreenWindows()) {
        if (window.name == value) found = window;
      }
      if (!found) {
        emit("LOG [Host] No window titled " + value);
        return std::nullopt;
      }
      const ScreenRect area = found->capturedArea();
      WindowTarget target{applications->bundleIdentifier(found->ownerProcessID).value_or(""),
                          found->ownerName,
                          found->name,
                          found->ownerProcessID,
                          found->windowID,
                          area.width,
                          area.height};
      desktop.portals.push_back({Uuid::random(), "Window " + value,
                                 std::chrono::system_clock::now(),
                                 WindowPortalData{target, WindowCaptureMode::fullWindow}});
    } else if (arguments[i] == "--region") {
      double x0 = 0, y0 = 0, w = 0, h = 0;
      if (std::sscanf(value.c_str(), "%lf,%lf,%lf,%lf", &x0, &y0, &w, &h) != 4 || w <= 0 ||
          h <= 0) {
        emit("LOG [Host] Not a region: " + value);
        return std::nullopt;
      }
      desktop.portals.push_back({Uuid::random(),
                                 "Screen region " + std::to_string(static_cast<long>(w)) +
                                     "\u00D7" + std::to_string(static_cast<long>(h)),
                                 std::chrono::system_clock::now(),
                                 ScreenRegionPortalData{{x0, y0, w, h}, 0, false}});
    }
  }
  return desktop;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavelin;
  console::blockStopSignals();

  AppPaths::ensureCreated();
  std::string why;
  const auto lock = FolderLock::acquire(AppPaths::root(), why);
  if (!lock) {
    emit("LOG [Host] Cannot start: " + why + "; quit it first");
    return 1;
  }
  auto folder = std::make_shared<DataFolder>(AppPaths::root());
  folder->onLog = [](const std::string& line) { emit("LOG [Host] " + line); };
  const HostSettings settings = HostSettings::load(StoredFile(folder, "settings.json"));
  const std::vector<std::string> arguments(argv, argv + argc);
  std::optional<DemoHost::Desktop> desktop;
  if (arguments.size() > 1 && arguments[1] == "--desktop") {
    desktop = desktopFromArguments(arguments, settings);
    if (!desktop) return 1;
  }
  auto host = std::make_shared<DemoHost>(settings, folder, AppResources::clientDirectory(), emit,
                                         std::move(desktop));
  try {
    host->start();
  } catch (const std::system_error& error) {
    emit(std::string("LOG [Server] Server failed to start: ") + error.what());
    return 1;
  }

  console::onStopSignal(requestStop);
  console::readLines([host](const std::string& line) {
    if (!host->command(line)) requestStop();
  });

  std::unique_lock guard(stopLock);
  stopRequested.wait(guard, [] { return stopping; });
  guard.unlock();
  host->stop();
  // The stdin and signal threads may still be running; leave without destroying what they use.
  std::fflush(stdout);
  std::_Exit(0);
}
