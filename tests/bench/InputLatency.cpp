// How long a phone's tap takes to reach an application: from the portal's input controller
// accepting the message to an ordinary X client receiving the button release, on a private
// Xvfb desktop with openbox. 200 taps into a window portal whose window is in front already
// (each asks for the raise; the pause for the window manager comes only after a raise that moved
// the window up) and 200 into a screen-region portal (no raise). Reports the median and the 95th
// percentile. Then 500 characters, Latin-1 and beyond it, typed into an xterm that writes them to
// a file: characters per second, and whether they arrived exact. Asserts nothing.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

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

// What an xterm running `cat > file` has written so far.
std::string fileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// 500 characters: words of ASCII, accented Latin-1, and characters no keymap has; the last
// is the newline that ends it.
std::string typingText() {
  const std::vector<std::string> words{"typing", "caf\u00e9",  "\u20ac42",     "\u65e5\u672c",
                                       "\u2713", "na\u00efve", "\u03c0r\u00b2"};
  std::string text;
  std::size_t characters = 0;
  for (std::size_t i = 0; characters < 499; ++i) {
    const std::string& word = words[i % words.size()];
    const std::size_t length = static_cast<std::size_t>(
        std::count_if(word.begin(), word.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    if (characters + length + 1 > 499) break;
    text += word + " ";
    characters += length + 1;
  }
  while (characters < 499) {
    text += "x";
    ++characters;
  }
  return text;
}

// Runs a program to its end with the desktop's display.
bool runOn(const std::string& display, std::vector<std::string> arguments) {
  const std::string displayVariable = "DISPLAY=" + display;
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const char* envp[] = {displayVariable.c_str(), "LC_ALL=C.UTF-8", "PATH=/usr/bin:/bin", nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), const_cast<char**>(envp)) != 0)
    return false;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Types `typingText()` and a newline into a fresh xterm running `cat > file` by `type`, and
// prints how fast it arrived whole.
void measureTyping(const std::string& display, const char* name,
                   const std::function<void(const std::string& text)>& type) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("tavelin-typing-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto typed = folder / "typed.txt";
  const std::string command = "exec cat > " + typed.string();
  const std::string displayVariable = "DISPLAY=" + display;
  const char* argv[] = {"xterm", "-u8", "-geometry",     "100x20+0+0", "-e",
                        "sh",    "-c",  command.c_str(), nullptr};
  const char* envp[] = {displayVariable.c_str(), "LC_ALL=C.UTF-8", "PATH=/usr/bin:/bin", nullptr};
  pid_t terminal = 0;
  if (::posix_spawnp(&terminal, "xterm", nullptr, nullptr, const_cast<char**>(argv),
                     const_cast<char**>(envp)) != 0) {
    std::fprintf(stderr, "typing: no xterm\n");
    return;
  }
  // The file exists once cat runs (looked for until then). openbox gives the new window the
  // focus a moment later, and nothing here is told when: a figure, not a test, so it waits.
  for (int i = 0; i < 200 && !std::filesystem::exists(typed); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string text = typingText();
  const auto start = Clock::now();
  type(text);
  // Typing ends with its newline: the time until it arrives, and whether all before it is right.
  const std::string expected = text + "\n";
  std::string got;
  for (int i = 0; i < 6000 && (got.empty() || got.back() != '\n'); ++i) {
    got = fileText(typed);
    if (got.empty() || got.back() != '\n')
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const bool ended = !got.empty() && got.back() == '\n';
  if (got == expected) {
    std::printf("%-32s %6.0f characters/s   exact (500 characters, %.2f s)\n", name, 500 / seconds,
                seconds);
  } else {
    const auto same = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    std::printf("%-32s %6.0f characters/s   NOT exact: %zu of %zu bytes, the first %zu right%s\n",
                name, ended ? 500 / seconds : 0.0, got.size(), expected.size(),
                static_cast<std::size_t>(same.first - got.begin()), ended ? "" : ", never ended");
  }
  ::kill(terminal, SIGTERM);
  ::waitpid(terminal, nullptr, 0);
  std::filesystem::remove_all(folder);
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
  measureTyping(desktop.display(), "typed text, beyond the keymap", [&](const std::string& text) {
    InputMessage message;
    message.type = "text";
    message.text = text;
    regionPortal->enqueue(message);
    InputMessage enter;
    enter.type = "key";
    enter.key = "enter";
    regionPortal->enqueue(enter);
  });
  // The reference: xdotool typing the same text at its own pace (without its delay between
  // keys it garbles characters it has to remap).
  measureTyping(desktop.display(), "  xdotool type, the same text", [&](const std::string& text) {
    if (!runOn(desktop.display(), {"xdotool", "type", "--", text}) ||
        !runOn(desktop.display(), {"xdotool", "key", "Return"})) {
      std::fprintf(stderr, "typing: xdotool did not run\n");
    }
  });
  return 0;
}
