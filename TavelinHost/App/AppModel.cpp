#include "TavelinHost/App/AppModel.hpp"

#include "TavelinHost/App/AppEnvironment.hpp"
#include "TavelinHost/App/MainThread.hpp"
#include "TavelinHost/Capture/PortalSources.hpp"
#include "TavelinHost/Input/InputService.hpp"
#include "TavelinHost/Input/PortalInputController.hpp"
#include "TavelinKit/Dispatch/WorkerThread.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinServer/StreamingServer.hpp"

namespace tavelin {

AppModel::AppModel(const AppEnvironment& environment, QObject* parent)
    : QObject(parent),
      mainThread_(std::make_unique<MainThread>()),
      openAtLogin_(environment.autostartDirectory.empty() ? OpenAtLogin::userFolder()
                                                          : environment.autostartDirectory,
                   environment.executable) {
  const auto& main = mainThread_->executor();
  const auto& root = environment.dataDirectory;
  const auto& platform = environment.platform;
  const auto background = environment.background
                              ? environment.background
                              : std::make_shared<WorkerThread>("tavelin.background");
  std::filesystem::create_directories(root / DataFiles::logs);
  activity_ = std::make_unique<ActivityLog>(root / DataFiles::logs, main, environment.clock);
  const HostLogSink log = activity_->sink();
  if (platform.log) platform.log->connect(log);
  folder_ = std::make_shared<DataFolder>(root, environment.writer, environment.clock);
  folder_->onLog = [log](const std::string& line) { log("Host", line); };
  settings_ = std::make_unique<AppSettings>(StoredFile(folder_, DataFiles::settings));
  phones_ = std::make_unique<Phones>(folder_, environment.clock, main, log);
  connection_ = std::make_unique<HostConnection>(
      *phones_, *settings_,
      HostConnection::Options{environment.webRoot, environment.localAddress, environment.qrScale},
      log);

  auto applications = std::make_shared<RunningApplicationCache>(platform.applications);
  auto input = std::make_shared<InputService>(
      InputService::Desktop{platform.poster, platform.windows, platform.applications,
                            platform.windowControl},
      log);
  auto sources = std::make_shared<PortalSourceFactory>(
      platform.capture, platform.windows,
      std::make_shared<WindowResolver>(platform.windows, applications, log), log,
      [read = settings_->reader()] { return read().pictures(); });
  sharing_ = std::make_unique<PortalSharing>(
      folder_, *settings_,
      PortalSharing::Routing{std::move(sources), connection_->sharedServer(),
                             PortalInputController::maker(std::move(input), log), main},
      log);
  connection_->server().stateProvider = sharing_->stateProvider();
  // Text copied on the computer reaches the phones only while the user allows it.
  if (platform.poster) {
    platform.poster->watchClipboard(
        [send = sharing_->clipboardSender(), read = settings_->reader(),
         log](const std::optional<std::string>& text) {
          if (!read().shareClipboard) return;
          if (!text) {
            log("Input", "Clipboard not sent to phones: the copied text is longer than " +
                             std::to_string(sharedClipboardLimit / 1024) + " KB");
          } else if (!text->empty()) {
            send(*text);
          }
        },
        sharedClipboardLimit);
  }
  desktop_ = std::make_unique<DesktopModel>(platform, main, background, log);
  targets_ = std::make_unique<PortalTargets>(*sharing_, *desktop_, environment.clock, log);
  diagnostics_ =
      std::make_unique<HostDiagnostics>(environment, background, folder_, *connection_, main, log);
  connect(desktop_.get(), &DesktopModel::failed, diagnostics_.get(),
          [this](const QString& message) { diagnostics_->setErrorMessage(message); });
}

AppModel::~AppModel() { *alive_ = false; }

bool AppModel::setOpenAtLogin(bool on) {
  std::string why;
  if (!openAtLogin_.set(on, why)) {
    activity_->add("Host", "Open at login not changed: " + why);
    return false;
  }
  activity_->add("Host", on ? "Tavelin opens at login (" + openAtLogin_.entryPath().string() + ")"
                            : std::string("Tavelin no longer opens at login"));
  return true;
}

const std::shared_ptr<Executor>& AppModel::mainExecutor() const { return mainThread_->executor(); }

void AppModel::start() {
  activity_->add("Host", "Host starting");
  std::string why;
  if (connection_->start(why)) {
    activity_->add("Host", "Server listening on port " + std::to_string(connection_->port()));
  } else {
    diagnostics_->setErrorMessage(QStringLiteral("Could not start the server: ") +
                                  QString::fromStdString(why));
    activity_->add("Host", "Network error: could not start the server: " + why);
  }
  activity_->add("Host", diagnostics_->desktopAccessText());
  if (!desktop_->placesOverlays()) {
    activity_->add("Host",
                   "This desktop does not let Tavelin place windows over others: screen regions "
                   "are chosen on a still picture, and no border is drawn around them");
  }
  connect(&refreshTimer_, &QTimer::timeout, this, &AppModel::refreshRuntimeState);
  refreshTimer_.start(1000);
  diagnostics_->probe();
}

void AppModel::shutDown() {
  activity_->add("Host", "Host shutting down");
  refreshTimer_.stop();
  sharing_->shutdown();
  desktop_->removeVirtualDisplay();
  connection_->stop();
  activity_->flush();
}

void AppModel::refreshRuntimeState() {
  phones_->tick();
  diagnostics_->tick();
  connection_->refreshSessions();
  sharing_->refresh();
}

void AppModel::setSheet(std::optional<SheetKind> sheet) {
  // A new target is chosen only while the create sheet that chooses it is open.
  if (retargetingPortal_ && (!sheet || sheet->kind != SheetKind::Kind::create)) {
    retargetingPortal_.reset();
    Q_EMIT retargetingPortalChanged();
  }
  sheet_ = std::move(sheet);
  Q_EMIT sheetChanged();
}

void AppModel::setShowActivity(bool show) {
  if (showActivity_ == show) return;
  showActivity_ = show;
  Q_EMIT showActivityChanged();
}

void AppModel::changeTarget(const Portal& portal) {
  if (portal.type() == PortalType::screenRegion) {
    beginScreenRegionSelection(portal);
    return;
  }
  retargetingPortal_ = portal;
  Q_EMIT retargetingPortalChanged();
  setSheet(SheetKind{SheetKind::Kind::create, {}, false, {}});
}

void AppModel::beginScreenRegionSelection(const std::optional<Portal>& retarget) {
  if (!desktop_->placesOverlays()) {
    setSheet(SheetKind{SheetKind::Kind::screenRegion, retarget, false, {}});
    return;
  }
  if (!presentRegionSelection) return;
  // The overlay may answer after the model is gone (the window closing under it).
  presentRegionSelection(
      [alive = std::weak_ptr<bool>(alive_), this, retarget](std::optional<ScreenRect> rect) {
        if (!alive.expired()) targets_->chooseScreenRegion(rect, retarget);
      });
}

}  // namespace tavelin
