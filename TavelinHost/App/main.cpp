// tavelin: the host. With an X display it opens its window; `--headless` runs it without one,
// spoken to through lines on stdin and stdout (see HeadlessHost).
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <cstdio>
#include <cstring>
#include <memory>

#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/App/HeadlessHost.hpp"
#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "TavelinHost/Platform/X11/X11EventPoster.hpp"
#include "TavelinHost/Platform/X11/X11VirtualDisplay.hpp"
#include "TavelinHost/Runtime/Console.hpp"
#include "TavelinHost/UI/TavelinApp.hpp"
#include "TavelinKit/Foundation/FolderLock.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinServer/AppResources.hpp"

namespace {

bool hasFlag(int argc, char** argv, const char* flag) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavelin;
  console::blockStopSignals();
  const bool headless = hasFlag(argc, argv, "--headless");

  auto x = x11::Connection::open();
  if (!x) {
    std::fprintf(stderr,
                 "tavelin: no X display to share (set DISPLAY, or run `make run`, which starts a "
                 "private one)\n");
    return 1;
  }
  std::unique_ptr<QCoreApplication> application;
  if (headless) {
    application = std::make_unique<QCoreApplication>(argc, argv);
  } else {
    QApplication::setApplicationName(QStringLiteral("Tavelin"));
    QApplication::setDesktopFileName(QStringLiteral("tavelin"));
    application = std::make_unique<QApplication>(argc, argv);
  }
  AppPaths::ensureCreated();
  // Two hosts on one folder would write over each other's devices and portals.
  std::string why;
  const auto lock = FolderLock::acquire(AppPaths::root(), why);
  if (!lock) {
    const std::string message = "Tavelin cannot start: " + why + ". Quit it first.";
    std::fprintf(stderr, "tavelin: %s\n", message.c_str());
    if (!headless) {
      QMessageBox::critical(nullptr, QStringLiteral("Tavelin"), QString::fromStdString(message));
    }
    return 1;
  }
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
  if (!headless) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    environment.qrScale = screen ? static_cast<int>(10 * screen->devicePixelRatio()) : 20;
  }

  AppModel model(environment);
  const auto onMain = model.mainExecutor();
  console::onStopSignal([onMain] { onMain->post([] { QCoreApplication::quit(); }); });

  int code = 0;
  if (headless) {
    HeadlessHost host(model, console::writeLine, ::isatty(STDOUT_FILENO) == 1);
    console::readLines([onMain, &host](std::string line) {
      onMain->post([line = std::move(line), &host] {
        if (!host.command(line)) QCoreApplication::quit();
      });
    });
    host.start();
    code = QCoreApplication::exec();
    model.shutDown();
  } else {
    TavelinApp app(model);  // shuts the model down when the application quits
    app.show();
    code = QCoreApplication::exec();
  }
  // The stdin and signal threads may still be running; leave without destroying what they use.
  std::fflush(stdout);
  std::_Exit(code);
}
