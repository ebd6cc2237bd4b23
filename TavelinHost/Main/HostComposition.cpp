#include "TavelinHost/Main/HostComposition.hpp"

#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "TavelinHost/App/AppEnvironment.hpp"
#include "TavelinHost/App/AppModel.hpp"
#include "TavelinHost/App/HeadlessHost.hpp"
#include "TavelinHost/Demo/DemoDesktop.hpp"
#include "TavelinHost/Demo/DemoHost.hpp"
#include "TavelinHost/Platform/Wayland/WaylandPlatform.hpp"
#include "TavelinHost/Platform/X11/X11Platform.hpp"
#include "TavelinHost/Runtime/Console.hpp"
#include "TavelinHost/Runtime/HostLines.hpp"
#include "TavelinHost/Runtime/HostSettings.hpp"
#include "TavelinHost/UI/TavelinApp.hpp"
#include "TavelinKit/Foundation/FolderLock.hpp"
#include "TavelinKit/Foundation/Json.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinServer/AppResources.hpp"

namespace tavelin {

namespace {

// The tokens a stored file holds: the screens' under "restoreToken", the windows' under
// "windows" by number. Nothing when the file is not such an object.
std::optional<std::map<std::string, std::string>> tokensIn(std::string_view text) {
  const auto document = json::parse(text);
  if (!document || !document->is_object()) return std::nullopt;
  const auto screens = json::readString(*document, "restoreToken");
  if (!screens) return std::nullopt;
  std::map<std::string, std::string> tokens{{"screens", *screens}};
  const auto windows = document->find("windows");
  if (windows != document->end() && windows->is_object()) {
    for (const auto& [number, token] : windows->items()) {
      if (token.is_string()) tokens["window " + number] = token.get<std::string>();
    }
  }
  return tokens;
}

}  // namespace

wayland::PortalTokenStore portalTokens(const StoredFile& file) {
  auto load = [file] {
    const auto text = file.load([](std::string_view t) { return tokensIn(t).has_value(); });
    return text ? tokensIn(*text).value_or(std::map<std::string, std::string>{})
                : std::map<std::string, std::string>{};
  };
  // Sessions of several windows may save at once: one change at a time over the whole file.
  auto saving = std::make_shared<std::mutex>();
  return {load, [file, load, saving](const std::string& name, const std::string& token) {
            std::lock_guard guard(*saving);
            auto tokens = load();
            if (token.empty() && name != "screens") {
              tokens.erase(name);
            } else {
              tokens[name] = token;
            }
            json::Json windows = json::Json::object();
            for (const auto& [key, value] : tokens) {
              if (key.starts_with("window ")) windows[key.substr(7)] = value;
            }
            const json::Json object{{"restoreToken", tokens["screens"]}, {"windows", windows}};
            if (const auto text = json::encodePretty(object)) file.save(*text);
          }};
}

std::optional<PlatformServices> openPlatform(const PlatformChoice& choice, std::string& why,
                                             std::function<void()> beforeDialog) {
  if (!choice.platform) {
    why = choice.description;
    return std::nullopt;
  }
  std::optional<PlatformServices> services;
  switch (*choice.platform) {
    case Platform::x11:
      services = x11::openPlatform(choice.display, why);
      if (services) services->name = choice.description;
      break;
    case Platform::wayland: {
      // Mutter's interfaces are the default only where the user asked for them.
      const auto folder = std::make_shared<DataFolder>(AppPaths::root());
      wayland::WaylandOptions options;
      options.backend = choice.backend;
      options.preferMutter =
          HostSettings::load(StoredFile(folder, DataFiles::settings)).gnomeWithoutDialog;
      options.portalTokens = portalTokens(StoredFile(folder, DataFiles::desktopPortal));
      options.beforePortalDialog = std::move(beforeDialog);
      services = wayland::openPlatform(options, why);
      break;
    }
  }
  return services;
}

namespace {

bool hasFlag(int argc, char** argv, const char* flag) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) return true;
  }
  return false;
}

// Leaves without destroying what the stdin and signal threads may still be using.
[[noreturn]] void leave(int code) {
  std::fflush(stdout);
  std::_Exit(code);
}

}  // namespace

int runHost(int argc, char** argv) {
  console::blockStopSignals();
  const bool headless = hasFlag(argc, argv, "--headless");
  std::string why;
  const auto request = platformRequest({argv + 1, argv + argc}, why);
  if (!request) {
    std::fprintf(stderr, "tavelin: %s\n", why.c_str());
    return 2;
  }
  const PlatformChoice choice = choosePlatform(processEnvironment(), *request);
  if (!choice.platform) {
    std::fprintf(stderr, "tavelin: %s\n", choice.description.c_str());
    return 1;
  }
  std::unique_ptr<QCoreApplication> application;
  if (headless) {
    application = std::make_unique<QCoreApplication>(argc, argv);
  } else {
    QApplication::setApplicationName(QStringLiteral("Tavelin"));
    QApplication::setDesktopFileName(QStringLiteral(TAVELIN_APP_ID));
    application = std::make_unique<QApplication>(argc, argv);
  }
  auto refuse = [headless](const std::string& message) {
    std::fprintf(stderr, "tavelin: %s\n", message.c_str());
    if (!headless) {
      QMessageBox::critical(nullptr, QStringLiteral("Tavelin"), QString::fromStdString(message));
    }
    return 1;
  };
  AppPaths::ensureCreated();
  // Two hosts on one folder would write over each other's devices and portals; the lock comes
  // before the platform, which clears what a host that did not end cleanly left on the desktop.
  const auto lock = FolderLock::acquire(AppPaths::root(), why);
  if (!lock) return refuse("Tavelin cannot start: " + why + ". Quit it first.");
  // The window says what the desktop's dialog will ask before it shows.
  std::function<void()> beforeDialog;
  if (!headless) {
    beforeDialog = [] {
      QMessageBox::information(
          nullptr, QStringLiteral("Tavelin"),
          QStringLiteral("Your desktop will now ask whether Tavelin may share your screens and "
                         "control the pointer and keyboard for the phones you pair.\n\nAllow "
                         "both (on GNOME, turn on \"Allow remote interaction\"); phones can "
                         "only watch otherwise."));
    };
  }
  auto platform = openPlatform(choice, why, std::move(beforeDialog));
  if (!platform) return refuse("Tavelin cannot start: " + why + ".");

  AppEnvironment environment;
  environment.dataDirectory = AppPaths::root();
  environment.executable = QCoreApplication::applicationFilePath().toStdString();
  environment.webRoot = AppResources::clientDirectory();
  const std::string desktopName = platform->name;
  environment.platform = std::move(*platform);
  if (!headless) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    environment.qrScale = screen ? static_cast<int>(10 * screen->devicePixelRatio()) : 20;
  }
  AppModel model(environment);
  model.activity().add("Host", "Desktop: " + desktopName);
  const auto onMain = model.mainExecutor();
  console::onStopSignal([onMain] { onMain->post([] { QCoreApplication::quit(); }); });

  int code = 0;
  if (headless) {
    HeadlessHost host(model, console::writeLine, ::isatty(STDOUT_FILENO) == 1);
    // The host lives until the process leaves (below), after the last line is handled.
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
  leave(code);
}

namespace {

std::mutex stopLock;
std::condition_variable stopRequested;
bool stopping = false;

void requestStop() {
  std::lock_guard guard(stopLock);
  stopping = true;
  stopRequested.notify_all();
}

}  // namespace

int runDemo(int argc, char** argv) {
  console::blockStopSignals();
  const DemoHost::Emit emit = console::writeLine;
  AppPaths::ensureCreated();
  std::string why;
  const auto lock = FolderLock::acquire(AppPaths::root(), why);
  if (!lock) {
    emit(hostLines::log("Host", "Cannot start: " + why + "; quit it first"));
    return 1;
  }
  auto folder = std::make_shared<DataFolder>(AppPaths::root());
  folder->onLog = [emit](const std::string& line) { emit(hostLines::log("Host", line)); };
  const HostSettings settings = HostSettings::load(StoredFile(folder, DataFiles::settings));
  const std::vector<std::string> arguments(argv, argv + argc);
  std::optional<DemoHost::Desktop> desktop;
  if (arguments.size() > 1 && arguments[1] == "--desktop") {
    const PlatformChoice choice = choosePlatform(processEnvironment());
    const auto platform = openPlatform(choice, why);
    if (!platform) {
      emit(hostLines::log("Host", "Cannot start: " + why));
      return 1;
    }
    emit(hostLines::log("Host", "Desktop: " + platform->name));
    platform->log->connect([emit](std::string_view category, std::string_view message) {
      emit(hostLines::log(std::string(category), std::string(message)));
    });
    desktop =
        demoDesktop(*platform, {arguments.begin() + 2, arguments.end()}, settings.pictures(), emit);
    if (!desktop) return 1;
  }
  auto host = std::make_shared<DemoHost>(settings, folder, AppResources::clientDirectory(), emit,
                                         std::move(desktop));
  try {
    host->start();
  } catch (const std::system_error& error) {
    emit(hostLines::log("Server", std::string("Server failed to start: ") + error.what()));
    return 1;
  }
  console::onStopSignal(requestStop);
  // The host is held by the reader until the process leaves.
  console::readLines([host](const std::string& line) {
    if (!host->command(line)) requestStop();
  });
  std::unique_lock guard(stopLock);
  stopRequested.wait(guard, [] { return stopping; });
  guard.unlock();
  host->stop();
  leave(0);
}

}  // namespace tavelin
