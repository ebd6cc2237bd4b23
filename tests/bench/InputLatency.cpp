// How long a phone's tap takes to reach an application: from the portal's input controller
// accepting the message to an ordinary X client receiving the button release, on a private
// Xvfb desktop with openbox. 200 taps into a window portal whose window is in front already
// (each asks for the raise; the pause for the window manager comes only after a raise that moved
// the window up) and 200 into a screen-region portal (no raise). Reports the median and the 95th
// percentile; asserts nothing.
#include <algorithm>
#include <cstdio>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Input/PortalInputController.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11EventPoster.hpp"
#include "tests/support/InputRecorderWindow.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace {

using namespace tavelin;
using Clock = std::chrono::steady_clock;

void measure(const char* name, PortalInputController& controller,
             testing::InputRecorderWindow& recorder) {
  constexpr int taps = 200;
  std::vector<double> latencies;
  for (int i = 0; i < taps; ++i) {
    recorder.clear();
    InputMessage tap;
    tap.type = "tap";
    tap.x = 0.2 + 0.6 * (i % 10) / 10.0;
    tap.y = 0.5;
    const auto start = Clock::now();
    controller.enqueue(tap);
    const bool received = recorder.waitUntil([](const auto& events) {
      return std::any_of(events.begin(), events.end(),
                         [](const auto& e) { return e.type == XCB_BUTTON_RELEASE; });
    });
    if (!received) {
      std::fprintf(stderr, "%s: tap %d never arrived\n", name, i);
      return;
    }
    for (const auto& event : recorder.events()) {
      if (event.type == XCB_BUTTON_RELEASE) {
        latencies.push_back(
            std::chrono::duration<double, std::milli>(event.received - start).count());
        break;
      }
    }
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("%-32s median %6.2f ms   p95 %6.2f ms   (%d taps)\n", name,
              latencies[latencies.size() / 2], latencies[latencies.size() * 95 / 100], taps);
}

}  // namespace

int main() {
  testing::XvfbDesktop desktop("1280x800");
  auto connection = x11::Connection::open(desktop.display());
  testing::InputRecorderWindow recorder(desktop.display(), "Latency", 200, 150, 400, 300);
  auto windows = std::make_shared<x11::X11WindowServer>(connection);
  for (int i = 0; i < 100; ++i) {
    const auto window = windows->window(recorder.id());
    if (window && window->isOnScreen) break;
    recorder.map();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto poster = std::make_shared<x11::X11EventPoster>(desktop.display());
  InputService service({poster, windows, std::make_shared<x11::X11ApplicationRegistry>(connection),
                        std::make_shared<x11::X11WindowControl>(connection)},
                       HostLogSink{});
  const WindowID id = recorder.id();

  auto windowPortal = std::make_shared<PortalInputController>(service.forPortal(), HostLogSink{});
  windowPortal->setMapper(std::make_shared<WindowCoordinateMapper>(
      std::make_shared<LiveWindowGeometryProvider>(
          windows, [id] { return std::optional<WindowID>(id); }, [] { return PixelSize::empty; }),
      [id] { return std::optional<WindowID>(id); }));
  measure("window portal, already in front", *windowPortal, recorder);

  auto regionPortal = std::make_shared<PortalInputController>(service.forPortal(), HostLogSink{});
  regionPortal->setMapper(
      std::make_shared<ScreenRegionCoordinateMapper>(windows->window(id)->contentBounds));
  measure("screen-region portal", *regionPortal, recorder);
  return 0;
}
