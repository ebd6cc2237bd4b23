// Our frame path against ffmpeg's on the same private 1920 × 1080 Xvfb: a screen region whose
// textured picture changes every frame, captured at up to 60 per second, scaled to 1440 px
// and encoded as JPEG. Reports pictures per second, CPU per picture (the capturing process,
// and with the X server's share) and bytes per picture; then our CPU on a static screen.
// Asserts nothing.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinKit/Foundation/Files.hpp"
#include "tests/support/CpuTime.hpp"
#include "tests/support/XvfbDesktop.hpp"

extern char** environ;

namespace {

using namespace tavelin;
using Clock = std::chrono::steady_clock;
constexpr int width = 1920, height = 1080;
constexpr double seconds = 6;
// ffmpeg's MJPEG scale that gives about the bytes per picture of our quality 0.6 on this
// picture (checked by the figures printed below).
constexpr int ffmpegQScale = 4;

// Keeps a full-screen window changing: a textured pixmap copied in at a new offset every 8 ms,
// all on the server's side.
class Painter {
 public:
  explicit Painter(const std::string& display) : x_(x11::Connection::open(display)) {
    xcb_connection_t* c = x_->get();
    window_ = xcb_generate_id(c);
    const std::uint32_t values[] = {0, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, x_->root(), 0, 0, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, x_->screen().root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window_);
    texture_ = xcb_generate_id(c);
    xcb_create_pixmap(c, x_->screen().root_depth, texture_, window_, 2 * width, height);
    gc_ = xcb_generate_id(c);
    xcb_create_gc(c, gc_, window_, 0, nullptr);
    // Gradients with fine detail, like a page of a photo and text.
    std::vector<std::uint32_t> row(2 * width);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < 2 * width; ++x) {
        const auto r = static_cast<std::uint32_t>(x * 255 / (2 * width));
        const auto g = static_cast<std::uint32_t>(y * 255 / height);
        const auto b = static_cast<std::uint32_t>(((x / 3) ^ (y / 2)) & 0xFF);
        row[static_cast<std::size_t>(x)] = r << 16 | g << 8 | b;
      }
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, texture_, gc_, 2 * width, 1, 0,
                    static_cast<std::int16_t>(y), 0, x_->screen().root_depth,
                    static_cast<std::uint32_t>(row.size() * 4),
                    reinterpret_cast<const std::uint8_t*>(row.data()));
    }
    x_->sync();
  }
  ~Painter() { pause(); }

  void resume() {
    running_ = true;
    thread_ = std::thread([this] {
      int offset = 0;
      while (running_) {
        offset = (offset + 7) % width;
        xcb_copy_area(x_->get(), texture_, window_, gc_, static_cast<std::int16_t>(offset), 0, 0, 0,
                      width, height);
        x_->flush();
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
      }
      x_->sync();
    });
  }
  void pause() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::shared_ptr<x11::Connection> x_;
  xcb_window_t window_ = 0;
  xcb_pixmap_t texture_ = 0;
  xcb_gcontext_t gc_ = 0;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

struct Figures {
  double picturesPerSecond = 0;
  double cpuPerPicture = 0;  // ms, the capturing process
  double cpuWithServer = 0;  // ms, with the X server's share
  double bytesPerPicture = 0;
  double coreShare = 0;  // of one core, the capturing process
};

void print(const char* name, const Figures& f) {
  std::printf(
      "%-22s %5.1f pictures/s  %5.2f ms CPU/picture  %5.2f ms with X server  %6.1f KiB  "
      "%4.2f of a core\n",
      name, f.picturesPerSecond, f.cpuPerPicture, f.cpuWithServer, f.bytesPerPicture / 1024,
      f.coreShare);
}

Figures ours(const std::string& display, pid_t server, double painterCpuPerSecond) {
  auto service = std::make_shared<x11::X11CaptureService>(display);
  auto connection = x11::Connection::open(display);
  auto windows = std::make_shared<x11::X11WindowServer>(connection);
  auto resolver = std::make_shared<WindowResolver>(
      windows,
      std::make_shared<RunningApplicationCache>(
          std::make_shared<x11::X11ApplicationRegistry>(connection)),
      HostLogSink{});
  PortalSourceFactory factory(service, windows, resolver, {}, [] {
    PictureSettings settings;
    settings.targetFps = 60;
    settings.jpegQuality = 0.6;
    settings.maxFrameDimension = 1440;
    return settings;
  });
  auto source =
      factory
          .make(
              Portal{Uuid(), "bench", {}, ScreenRegionPortalData{{0, 0, width, height}, 0, false}})
          .source;
  std::atomic<int> pictures{0};
  std::atomic<std::size_t> bytes{0};
  source->onFrame = [&](const CapturedFrame& frame) {
    ++pictures;
    bytes += frame.jpeg->size();
  };
  source->start();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  pictures = 0;
  bytes = 0;
  const double cpu = testing::ownCpuSeconds(), serverCpu = testing::processCpuSeconds(server);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const int count = pictures;
  const double used = testing::ownCpuSeconds() - cpu - painterCpuPerSecond * elapsed;
  const double usedByServer = testing::processCpuSeconds(server) - serverCpu;
  source->stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (count == 0) return {};
  return {count / elapsed, used * 1000 / count, (used + usedByServer) * 1000 / count,
          static_cast<double>(bytes) / count, used / elapsed};
}

Figures ffmpeg(const std::string& display, pid_t server) {
  const auto output = std::filesystem::temp_directory_path() / "tavelin-bench.mjpeg";
  const std::string input = display + "+0,0";
  const std::string scale = "scale=1440:810:flags=area";
  const std::string q = std::to_string(ffmpegQScale);
  const std::string duration = std::to_string(seconds);
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  std::vector<std::string> arguments = {
      "ffmpeg",   "-hide_banner", "-loglevel", "error", "-f",           "x11grab", "-framerate",
      "60",       "-video_size",  size,        "-i",    input,          "-vf",     scale,
      "-pix_fmt", "yuvj420p",     "-c:v",      "mjpeg", "-q:v",         q,         "-t",
      duration,   "-f",           "mjpeg",     "-y",    output.string()};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const double serverCpu = testing::processCpuSeconds(server);
  const auto start = Clock::now();
  if (::posix_spawnp(&child, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return {};
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double used = testing::seconds(usage.ru_utime, usage.ru_stime);
  const double usedByServer = testing::processCpuSeconds(server) - serverCpu;
  const std::string data = readWholeFile(output).value_or("");
  std::filesystem::remove(output);
  int count = 0;
  for (std::size_t at = data.find("\xFF\xD8\xFF"); at != std::string::npos;
       at = data.find("\xFF\xD8\xFF", at + 3)) {
    ++count;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || count == 0) {
    std::fprintf(stderr, "ffmpeg failed (status %d, %d pictures)\n", status, count);
    return {};
  }
  // ffmpeg's own start-up is in its CPU figure; it is small next to six seconds of encoding.
  return {count / seconds, used * 1000 / count, (used + usedByServer) * 1000 / count,
          static_cast<double>(data.size()) / count, used / elapsed};
}

}  // namespace

int main() {
  testing::XvfbDesktop desktop("1920x1080", /*windowManager=*/false);
  const pid_t server = desktop.serverPid();
  Painter painter(desktop.display());

  // What painting alone costs this process, taken out of our figures.
  painter.resume();
  const double before = testing::ownCpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double painterCpuPerSecond = (testing::ownCpuSeconds() - before) / 2;

  std::printf("1920x1080 screen region changing every frame, up to 60/s, scaled to 1440x810\n");
  const Figures our = ours(desktop.display(), server, painterCpuPerSecond);
  print("ours (q 0.6)", our);
  const Figures theirs = ffmpeg(desktop.display(), server);
  const std::string name = "ffmpeg (q:v " + std::to_string(ffmpegQScale) + ")";
  print(name.c_str(), theirs);
  if (our.cpuPerPicture > 0 && theirs.cpuPerPicture > 0) {
    std::printf(
        "pictures per CPU-second: ours %.0f, ffmpeg %.0f (%.1fx); with the X server: "
        "%.1fx\n",
        1000 / our.cpuPerPicture, 1000 / theirs.cpuPerPicture,
        theirs.cpuPerPicture / our.cpuPerPicture, theirs.cpuWithServer / our.cpuWithServer);
  }

  painter.pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const Figures still = ours(desktop.display(), server, 0);
  std::printf("static screen: ours %.1f pictures/s, %.3f of a core\n", still.picturesPerSecond,
              still.coreShare);
  return 0;
}
