// tavelin: the host. Until its window exists it runs without one, spoken to through lines on
// stdin and stdout (see HeadlessHost); `--headless` asks for that explicitly.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/App/HeadlessHost.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11EventPoster.hpp"
#include "TavelinHost/Platform/X11/X11VirtualDisplay.hpp"
#include "TavelinHost/Runtime/Console.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinServer/AppResources.hpp"

int main(int argc, char** argv) {
  using namespace tavelin;
  console::blockStopSignals();

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
  HeadlessHost host(model, console::writeLine, ::isatty(STDOUT_FILENO) == 1);

  const auto onMain = model.mainExecutor();
  console::onStopSignal([onMain] { onMain->post([] { QCoreApplication::quit(); }); });
  console::readLines([onMain, &host](std::string line) {
    onMain->post([line = std::move(line), &host] {
      if (!host.command(line)) QCoreApplication::quit();
    });
  });

  host.start();
  const int code = QCoreApplication::exec();
  model.shutDown();
  // The stdin and signal threads may still be running; leave without destroying what they use.
  std::fflush(stdout);
  std::_Exit(code);
}
