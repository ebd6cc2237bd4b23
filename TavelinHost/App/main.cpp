// tavelin: the host. Until its window exists it runs without one, spoken to through lines on
// stdin and stdout (see HeadlessHost); `--headless` asks for that explicitly.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/App/HeadlessHost.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11EventPoster.hpp"
#include "TavelinHost/Platform/X11/X11VirtualDisplay.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinServer/AppResources.hpp"

namespace {

std::mutex outputLock;

void emitLine(const std::string& line) {
  std::lock_guard guard(outputLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  if (line.empty() || line.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavelin;
  // Signals are taken by one thread with sigwait; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const QCoreApplication application(argc, argv);
  auto x = x11::Connection::open();
  if (!x) {
    std::fprintf(stderr,
                 "tavelin: no X display to share (set DISPLAY, or run `make run`, which starts a "
                 "private one)\n");
    return 1;
  }
  AppPaths::ensureCreated();
  auto virtualDisplays = std::make_shared<x11::X11VirtualDisplayPlatform>(x);
  virtualDisplays->removeStale("Tavelin");  // left by a host that did not end cleanly

  AppEnvironment environment;
  environment.dataDirectory = AppPaths::root();
  environment.webRoot = AppResources::clientDirectory();
  environment.capture = std::make_shared<x11::X11CaptureService>();
  environment.windows = std::make_shared<x11::X11WindowServer>(x);
  environment.applications = std::make_shared<x11::X11ApplicationRegistry>(x);
  environment.windowControl = std::make_shared<x11::X11WindowControl>(x);
  environment.poster = std::make_shared<x11::X11EventPoster>();
  environment.virtualDisplays = virtualDisplays;

  AppModel model(environment);
  HeadlessHost host(model, emitLine, ::isatty(STDOUT_FILENO) == 1);

  const auto onMain = model.mainExecutor();
  std::thread([signals, onMain] {
    int received = 0;
    sigwait(&signals, &received);
    onMain->post([] { QCoreApplication::quit(); });
  }).detach();
  // End of input is not a request to stop: a host started without a terminal keeps running.
  std::thread([&host, onMain] {
    for (std::string line; std::getline(std::cin, line);) {
      onMain->post([line, &host] {
        if (!host.command(line)) QCoreApplication::quit();
      });
    }
  }).detach();

  host.start();
  const int code = QCoreApplication::exec();
  model.shutDown();
  // The stdin and signal threads may still be running; leave without destroying what they use.
  std::fflush(stdout);
  std::_Exit(code);
}
