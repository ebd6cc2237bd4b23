// Capture figures on a private 1920 × 1080 Xvfb: pictures per second and capture CPU per
// picture for the whole screen and for one large window, with the screen changing every frame
// and with a static screen. Reports figures; asserts nothing.
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "TavelinHost/Capture/FrameEncoder.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "tests/support/CpuTime.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace {

using namespace tavelin;
using Clock = std::chrono::steady_clock;

struct Figures {
  double picturesPerSecond;
  double cpuMillisecondsPerPicture;
  double cpuPercent;
};

Figures measure(x11::X11CaptureService& service, const ContentFilter& filter,
                x11::Connection& painter, xcb_window_t window, bool changing, double seconds) {
  StreamConfiguration configuration;
  configuration.showsCursor = false;
  configuration.minimumFrameInterval = std::chrono::microseconds(1'000'000 / 60);
  std::atomic<int> pictures{0};
  auto stream = service.makeStream(filter, configuration);
  stream->addOutput(SerialQueue("tavelin.capture.frames"),
                    [&](const CaptureSample&) { ++pictures; });
  stream->start({});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pictures = 0;
  const double cpuBefore = testing::ownCpuSeconds();
  const auto start = Clock::now();
  std::uint32_t colour = 0x102030;
  while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
    if (changing) {
      colour = colour * 1103515245u + 12345u;
      const std::uint32_t value = colour & 0xFFFFFF;
      xcb_change_window_attributes(painter.get(), window, XCB_CW_BACK_PIXEL, &value);
      xcb_clear_area(painter.get(), 1, window, 0, 0, 0, 0);
      painter.flush();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(8));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = testing::ownCpuSeconds() - cpuBefore;
  stream->stop({});
  const int count = pictures.load();
  return {count / elapsed, count > 0 ? cpu * 1000 / count : 0, cpu / elapsed * 100};
}

}  // namespace

// The frame path after the grab: a 1920 × 1080 picture cropped (whole), converted, scaled to
// 1440 px and encoded at quality 0.6, on one thread.
void encodeFigures() {
  const int width = 1920, height = 1080;
  auto bytes =
      std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(width * height * 4));
  for (std::size_t i = 0; i < bytes->size(); ++i)
    bytes->at(i) = static_cast<std::uint8_t>((i * 7 + i / 7681) & 0xFF);
  CaptureSample sample;
  sample.isValid = true;
  sample.status = FrameStatus::complete;
  sample.contentRect = {0, 0, width, height};
  sample.pixels = PixelBuffer::of(width, height, width * 4, bytes);
  FrameEncoder encoder;
  std::size_t total = 0;
  const int frames = 200;
  const double cpuBefore = testing::ownCpuSeconds();
  const auto start = Clock::now();
  for (int i = 0; i < frames; ++i)
    total += encoder.makeFrame(sample, {}, 1440, 0.6, {})->jpeg->size();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "encode 1920x1080 -> 1440x810 q0.6: %.2f ms per frame (%.2f ms CPU), %zu KiB per frame\n",
      elapsed * 1000 / frames, (testing::ownCpuSeconds() - cpuBefore) * 1000 / frames,
      total / frames / 1024);
}

int main() {
  encodeFigures();
  testing::XvfbDesktop desktop("1920x1080", /*windowManager=*/false);
  auto painter = x11::Connection::open(desktop.display());
  x11::X11CaptureService service(desktop.display());
  if (!painter || !service.isAvailable()) {
    std::fprintf(stderr, "no usable X display\n");
    return 1;
  }
  const xcb_window_t window = xcb_generate_id(painter->get());
  const std::uint32_t values[] = {0x336699, 1};
  xcb_create_window(painter->get(), XCB_COPY_FROM_PARENT, window, painter->root(), 0, 0, 1600, 1000,
                    0, XCB_WINDOW_CLASS_INPUT_OUTPUT, painter->screen().root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(painter->get(), window);
  painter->flush();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const auto displayID = x11::X11WindowServer(painter).displays().front().displayID;
  const auto screen = service.displayFilter(displayID, {});
  const auto single = service.windowFilter(window);
  std::printf(
      "capture at up to 60 pictures/s on Xvfb 1920x1080 (this process's CPU, excluding the X "
      "server)\n");
  for (const auto& [name, filter] :
       {std::pair{"screen 1920x1080", *screen}, std::pair{"window 1600x1000", *single}}) {
    for (const bool changing : {true, false}) {
      const auto f = measure(service, filter, *painter, window, changing, 3.0);
      std::printf("%-17s %-8s %5.1f pictures/s, %6.2f ms CPU per picture, %5.1f%% of a core\n",
                  name, changing ? "changing" : "static", f.picturesPerSecond,
                  f.cpuMillisecondsPerPicture, f.cpuPercent);
    }
  }
  return 0;
}
