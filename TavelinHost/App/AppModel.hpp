#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "TavelinHost/App/ActivityLog.hpp"
#include "TavelinHost/App/AppSettings.hpp"
#include "TavelinHost/App/DesktopModel.hpp"
#include "TavelinHost/App/HostConnection.hpp"
#include "TavelinHost/App/HostDiagnostics.hpp"
#include "TavelinHost/App/OpenAtLogin.hpp"
#include "TavelinHost/App/Phones.hpp"
#include "TavelinHost/App/PortalSharing.hpp"
#include "TavelinHost/App/PortalTargets.hpp"
#include "TavelinKit/Pairing/PairedDevice.hpp"

namespace tavelin {

class MainThread;
struct AppEnvironment;

// Which sheet the window shows.
struct SheetKind {
  enum class Kind { edit, moveWindow, deviceHistory, create, screenRegion };
  Kind kind = Kind::create;
  std::optional<Portal> portal;        // edit; screenRegion: the portal whose region it replaces
  bool toVirtual = false;              // moveWindow
  std::optional<PairedDevice> device;  // deviceHistory
};

// The application model the window and the terminal front end bind to: it builds the host's
// parts over the environment's ports, starts and stops them together, keeps a one-second
// refresh going, and holds what the window shows of itself (its sheet, its activity pane).
// Each part owns one job; all live on the main (Qt) thread and exactly as long as the model.
class AppModel final : public QObject {
  Q_OBJECT
 public:
  explicit AppModel(const AppEnvironment& environment, QObject* parent = nullptr);
  ~AppModel() override;

  ActivityLog& activity() { return *activity_; }
  AppSettings& settings() { return *settings_; }
  Phones& phones() { return *phones_; }
  HostConnection& connection() { return *connection_; }
  PortalSharing& sharing() { return *sharing_; }
  PortalTargets& targets() { return *targets_; }
  HostDiagnostics& diagnostics() { return *diagnostics_; }
  DesktopModel& desktop() { return *desktop_; }
  const OpenAtLogin& openAtLogin() const { return openAtLogin_; }
  // Writes or removes the autostart entry and says so in the log; false when that failed.
  bool setOpenAtLogin(bool on);
  // Runs work on the model's thread (for threads of a front end: stdin, signals).
  const std::shared_ptr<Executor>& mainExecutor() const;

  // ---- Life
  bool didStart = false;  // set by the shell before it calls start() once
  void start();
  void shutDown();
  // The one-second refresh; public so a test can tick by hand.
  void refreshRuntimeState();

  // ---- The window's own state
  std::optional<SheetKind> sheet() const { return sheet_; }
  void setSheet(std::optional<SheetKind> sheet);
  bool showActivity() const { return showActivity_; }
  void setShowActivity(bool show);
  // The portal whose target the create sheet now chooses again.
  std::optional<Portal> retargetingPortal() const { return retargetingPortal_; }
  void changeTarget(const Portal& portal);
  // On the desktop's own overlay where the platform places one, else on a still picture in the
  // screen-region sheet.
  void beginScreenRegionSelection(const std::optional<Portal>& retarget = std::nullopt);
  // Lets the user drag a rectangle on screen and calls back with it (or nothing); the window's.
  std::function<void(std::function<void(std::optional<ScreenRect>)>)> presentRegionSelection;

 Q_SIGNALS:
  void sheetChanged();
  void showActivityChanged();
  void retargetingPortalChanged();

 private:
  // Declared first, destroyed last: what the parts post to the main thread never outlives them.
  std::unique_ptr<MainThread> mainThread_;
  std::shared_ptr<DataFolder> folder_;
  std::unique_ptr<ActivityLog> activity_;
  std::unique_ptr<AppSettings> settings_;
  std::unique_ptr<Phones> phones_;
  std::unique_ptr<HostConnection> connection_;
  std::unique_ptr<PortalSharing> sharing_;
  std::unique_ptr<DesktopModel> desktop_;
  std::unique_ptr<PortalTargets> targets_;
  std::unique_ptr<HostDiagnostics> diagnostics_;
  OpenAtLogin openAtLogin_;
  QTimer refreshTimer_;
  std::optional<SheetKind> sheet_;
  bool showActivity_ = false;
  std::optional<Portal> retargetingPortal_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tavelin
