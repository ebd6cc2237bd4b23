#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "TavelinHost/Capture/VirtualDisplay.hpp"
#include "TavelinHost/Capture/WindowDiscovery.hpp"
#include "TavelinHost/Diagnostics/NetworkDiagnostics.hpp"
#include "TavelinHost/Platform/EventPoster.hpp"
#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinHost/Platform/WindowServer.hpp"
#include "TavelinHost/Portals/MultiPortalController.hpp"
#include "TavelinHost/Runtime/HostLog.hpp"
#include "TavelinHost/Runtime/HostSettings.hpp"
#include "TavelinKit/Model/PortalManager.hpp"
#include "TavelinKit/Pairing/DeviceHistoryStore.hpp"
#include "TavelinKit/Pairing/PairingService.hpp"
#include "TavelinKit/Pairing/PendingPairingStore.hpp"
#include "TavelinServer/StreamingServer.hpp"

namespace tavelin {

class InputService;

// What the model needs from outside: the desktop's ports, where files live, and how to run
// work that blocks. The application fills it with the real X11 adapters; tests with fakes.
struct AppEnvironment {
  std::filesystem::path dataDirectory;  // settings, portals, devices, history, logs
  std::filesystem::path webRoot;        // the phone's web client
  std::shared_ptr<ScreenCaptureService> capture;
  std::shared_ptr<WindowServer> windows;
  std::shared_ptr<ApplicationRegistry> applications;
  std::shared_ptr<WindowControl> windowControl;
  std::shared_ptr<EventPoster> poster;
  std::shared_ptr<VirtualDisplayPlatform> virtualDisplays;  // none: no virtual display
  ProcessRunner runProcess = systemProcessRunner();
  std::shared_ptr<Executor> background;  // probes; a worker thread when empty
  Clock clock = systemClock();
  std::function<std::string()> localAddress;  // the LAN address to advertise; the system's if empty
  DataFolder::Writer writer;                  // how files are written; atomically to disk if empty
  int qrScale = 20;  // pixels per QR module: 10 × the screen's scale with a screen, else 20
};

// One diagnostics banner.
struct HostIssue {
  enum class Kind { screenRecording, accessibility, firewall, storage, address };
  enum class Tone { warning, error };
  Kind kind;
  QString title;
  QString detail;
  QString symbolName;
  Tone tone;
  QString actionTitle;
  std::optional<QString> command;
};

struct SheetKind {
  enum class Kind { edit, moveWindow, deviceHistory, create };
  Kind kind = Kind::create;
  std::optional<Portal> portal;        // edit
  bool toVirtual = false;              // moveWindow
  std::optional<PairedDevice> device;  // deviceHistory
};

// The host's one orchestrator and the state behind every view: it owns the services, starts
// the server, keeps a one-second refresh going and offers what the user can do. Lives on the
// main (Qt) thread; service callbacks come back to it through the event loop.
class AppModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool serverRunning READ serverRunning NOTIFY serverRunningChanged)
  Q_PROPERTY(QString connectionURL READ connectionURL NOTIFY connectionURLChanged)
  Q_PROPERTY(QString pin READ pin NOTIFY pinChanged)
  Q_PROPERTY(QImage qrImage READ qrImage NOTIFY qrImageChanged)
  Q_PROPERTY(std::vector<tavelin::Portal> portals READ portals NOTIFY portalsChanged)
  Q_PROPERTY(
      std::optional<tavelin::Uuid> activePortalID READ activePortalID NOTIFY activePortalIDChanged)
  Q_PROPERTY(tavelin::PortalCaptureState captureState READ captureState NOTIFY captureStateChanged)
  Q_PROPERTY(tavelin::PixelSize sourceSize READ sourceSize NOTIFY sourceSizeChanged)
  Q_PROPERTY(std::vector<tavelin::PairedDevice> devices READ devices NOTIFY devicesChanged)
  Q_PROPERTY(std::set<tavelin::Uuid> connectedDeviceIDs READ connectedDeviceIDs NOTIFY
                 connectedDeviceIDsChanged)
  Q_PROPERTY(int deviceHistoryVersion READ deviceHistoryVersion NOTIFY deviceHistoryVersionChanged)
  Q_PROPERTY(std::vector<tavelin::LogEntry> logLines READ logLines NOTIFY logLinesChanged)
  Q_PROPERTY(std::optional<bool> reachable READ reachable NOTIFY reachableChanged)
  Q_PROPERTY(tavelin::FirewallStatus::Verdict firewallVerdict READ firewallVerdict NOTIFY
                 firewallVerdictChanged)
  Q_PROPERTY(bool hasScreenRecording READ hasScreenRecording NOTIFY hasScreenRecordingChanged)
  Q_PROPERTY(bool hasAccessibility READ hasAccessibility NOTIFY hasAccessibilityChanged)
  Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage WRITE setErrorMessage NOTIFY
                 errorMessageChanged)
  Q_PROPERTY(
      std::map<tavelin::Uuid, std::uint64_t> frameCounts READ frameCounts NOTIFY frameCountsChanged)
  Q_PROPERTY(std::vector<tavelin::PendingPairing> pendingRequests READ pendingRequests NOTIFY
                 pendingRequestsChanged)
  Q_PROPERTY(bool virtualDisplayActive READ virtualDisplayActive NOTIFY virtualDisplayActiveChanged)
  Q_PROPERTY(std::optional<QString> virtualDisplayInfo READ virtualDisplayInfo NOTIFY
                 virtualDisplayInfoChanged)
  Q_PROPERTY(std::optional<tavelin::SheetKind> sheet READ sheet WRITE setSheet NOTIFY sheetChanged)
  Q_PROPERTY(bool showActivity READ showActivity WRITE setShowActivity NOTIFY showActivityChanged)
  Q_PROPERTY(std::optional<tavelin::Portal> retargetingPortal READ retargetingPortal NOTIFY
                 retargetingPortalChanged)
  Q_PROPERTY(
      bool requireApproval READ requireApproval WRITE setRequireApproval NOTIFY settingsChanged)

 public:
  static constexpr std::chrono::seconds pinMaxAge{300};
  static constexpr int ticksBetweenProbes = 10;
  // What connectionURL says until the server listens.
  inline static const QString urlBeforeStart = QStringLiteral("starting\u2026");

  explicit AppModel(AppEnvironment environment, QObject* parent = nullptr);
  ~AppModel() override;

  // ---- Observable state
  bool serverRunning() const { return serverRunning_; }
  QString connectionURL() const { return connectionURL_; }
  QString pin() const { return pin_; }
  QImage qrImage() const { return qrImage_; }
  std::vector<Portal> portals() const { return portals_; }
  std::optional<Uuid> activePortalID() const { return activePortalID_; }
  PortalCaptureState captureState() const { return captureState_; }
  PixelSize sourceSize() const { return sourceSize_; }
  std::vector<PairedDevice> devices() const { return devices_; }
  std::set<Uuid> connectedDeviceIDs() const { return connectedDeviceIDs_; }
  int deviceHistoryVersion() const { return deviceHistoryVersion_; }
  std::vector<LogEntry> logLines() const { return logLines_; }
  std::optional<bool> reachable() const { return reachable_; }
  FirewallStatus::Verdict firewallVerdict() const { return firewallVerdict_; }
  bool hasScreenRecording() const { return hasScreenRecording_; }
  bool hasAccessibility() const { return hasAccessibility_; }
  std::optional<QString> errorMessage() const { return errorMessage_; }
  // The files whose newest content could not be written yet.
  std::vector<std::string> unsavedFiles() const { return unsavedFiles_; }
  void setErrorMessage(std::optional<QString> message);
  bool isShowingError() const { return errorMessage_.has_value(); }
  std::map<Uuid, std::uint64_t> frameCounts() const { return frameCounts_; }
  std::vector<PendingPairing> pendingRequests() const { return pendingRequests_; }
  bool virtualDisplayActive() const { return virtualDisplayActive_; }
  std::optional<QString> virtualDisplayInfo() const { return virtualDisplayInfo_; }
  std::optional<SheetKind> sheet() const { return sheet_; }
  void setSheet(std::optional<SheetKind> sheet);
  bool showActivity() const { return showActivity_; }
  void setShowActivity(bool show);
  std::optional<Portal> retargetingPortal() const { return retargetingPortal_; }
  const HostSettings& settings() const { return settings_; }
  bool requireApproval() const { return settings_.requireApproval; }
  void setRequireApproval(bool required);
  // Stores and saves the settings at once; a new port applies at the next start.
  void updateSettings(const HostSettings& settings);

  // ---- Derived
  std::vector<HostIssue> issues() const;
  QString hostAndPort() const;
  bool canShare() const;
  QString captureStateText() const;
  std::optional<DisplayInfo> virtualDisplayBounds() const;

  // ---- Life
  bool didStart = false;  // set by the shell before it calls start() once
  void start();
  void shutDown();
  // The one-second refresh; public so a test can tick by hand.
  void refreshRuntimeState();

  // ---- Portals
  // Makes the portal the one new phones get, sharing it if it was not.
  void activate(const Portal& portal);
  void deactivate();
  // Stops sharing a shared portal; starts sharing (and activates) one that is not.
  void toggle(const Portal& portal);
  void startSharing(const Portal& portal);
  // Phones watching it are told it is no longer shared and get no more of its pictures; it can
  // no longer be chosen until it is shared again.
  void stopSharing(const Portal& portal);
  void stopAllSharing();
  bool isAnythingShared() const;
  // "Not shared", or what a shared portal is doing now.
  QString portalStateText(const Portal& portal) const;
  void add(const Portal& portal);
  // Changes what the portal is and how it is called; whether it is shared stays as it is.
  void update(const Portal& portal);
  void remove(const Portal& portal);

  // ---- Choosing targets
  void changeTarget(const Portal& portal);
  void beginScreenRegionSelection(const std::optional<Portal>& retarget = std::nullopt);
  void completeScreenRegionSelection(const std::optional<ScreenRect>& rect,
                                     const std::optional<Portal>& retarget);
  void completeWindowSelection(const WindowInfo& window, const std::optional<Portal>& retarget);
  void completeWindowRegionSelection(const WindowInfo& window, const NormalizedRect& region,
                                     const PixelRect& pixels,
                                     const std::optional<Portal>& retarget);

  // ---- Virtual display and windows
  void createVirtualDisplay();
  void removeVirtualDisplay();
  void createVirtualScreenRegion(const ScreenRect& rect);
  void moveWindow(const WindowInfo& window, bool toVirtual);

  // ---- Phones
  // False when the request was answered already (or is gone): nothing happens then.
  bool approve(const Uuid& requestID);
  bool deny(const Uuid& requestID);
  void newPin();
  void revoke(const Uuid& deviceID);
  void revokeAll();
  void clearHistory(const Uuid& deviceID);
  std::vector<DeviceEvent> history(const Uuid& deviceID) const;

  void copyLink();
  void openInBrowser();

  // ---- For the window's pickers: answers arrive on the main thread, never after the model.
  // The windows a portal can share, listed off the main thread.
  void listWindows(std::function<void(std::vector<WindowInfo>)> done);
  // A still picture of one window; a null image when it cannot be captured.
  void captureWindowStill(std::uint32_t windowID, std::function<void(QImage)> done);

  // ---- What the window (or a terminal) provides; the model works without them.
  // Lets the user drag a rectangle on screen and calls back with it (or nothing).
  std::function<void(std::function<void(std::optional<ScreenRect>)>)> presentRegionSelection;
  // Shows a border around a shared screen region, or hides it (nothing).
  std::function<void(std::optional<ScreenRect>)> showRegionBorder;
  std::function<void(const QString&)> copyText;
  std::function<void(const QString&)> openURL;

  // The services, for the views and the terminal front end.
  HostLog& log() { return *log_; }
  PortalManager& portalManager() { return *portalManager_; }
  StreamingServer& server() { return *server_; }
  PendingPairingStore& pendingStore() { return *pendingStore_; }
  PairingService& pairing() { return *pairing_; }
  const AppEnvironment& environment() const { return environment_; }
  // Runs work on the model's thread (for threads of a front end: stdin, signals).
  const std::shared_ptr<Executor>& mainExecutor() const { return mainExecutor_; }

  struct MainGate;
  struct SettingsCell;
  bool event(QEvent* event) override;

 Q_SIGNALS:
  void serverRunningChanged();
  void connectionURLChanged();
  void pinChanged();
  void qrImageChanged();
  void portalsChanged();
  void activePortalIDChanged();
  void captureStateChanged();
  // The capture state of some portal changed (a phone came, left, a capture started).
  void portalStatesChanged();
  void sourceSizeChanged();
  void devicesChanged();
  void connectedDeviceIDsChanged();
  void deviceHistoryVersionChanged();
  void logLinesChanged();
  void reachableChanged();
  void firewallVerdictChanged();
  void hasScreenRecordingChanged();
  void hasAccessibilityChanged();
  void errorMessageChanged();
  void frameCountsChanged();
  void pendingRequestsChanged();
  void virtualDisplayActiveChanged();
  void virtualDisplayInfoChanged();
  void sheetChanged();
  void showActivityChanged();
  void retargetingPortalChanged();
  void unsavedFilesChanged();
  void settingsChanged();
  // For a terminal front end that announces what happens: every paired phone, every log entry,
  // every message a phone sends.
  void devicePaired(const tavelin::PairedDevice& device);
  void logEntryAdded(const tavelin::LogEntry& entry);
  void inputReceived(const tavelin::Uuid& deviceID, const tavelin::InputMessage& message);

 private:
  void wire();
  MultiPortalController& multiPortal();
  // Stores whether the portal is shared; false when it is not in the catalogue.
  bool setShared(const Uuid& id, bool shared);
  void refreshConnectionInfo();
  void refreshCaptureState();
  void updateRegionBorder();
  void probeReachability();
  void logLine(const std::string& category, const std::string& message);
  std::string localAddress() const;
  // Runs `work` on the main thread later if the model still exists then.
  void onMain(std::function<void(AppModel&)> work);
  template <typename T, typename Signal>
  void assign(T& field, T value, Signal signal);

  const AppEnvironment environment_;
  std::shared_ptr<MainGate> gate_;
  std::shared_ptr<Executor> mainExecutor_;
  std::shared_ptr<Executor> background_;
  std::shared_ptr<HostLog> log_;
  std::shared_ptr<DataFolder> folder_;
  HostSettings settings_;                         // the main thread's
  std::shared_ptr<SettingsCell> sharedSettings_;  // the same, for other threads
  std::shared_ptr<PortalManager> portalManager_;
  std::shared_ptr<PairingService> pairing_;
  std::shared_ptr<PendingPairingStore> pendingStore_;
  std::shared_ptr<DeviceHistoryStore> history_;
  std::shared_ptr<RunningApplicationCache> applications_;
  std::shared_ptr<WindowResolver> resolver_;
  std::shared_ptr<InputService> inputService_;
  std::shared_ptr<StreamingServer> server_;
  std::shared_ptr<MultiPortalController> multiPortal_;
  VirtualDisplayManager virtualDisplay_;
  QTimer refreshTimer_;
  int reachabilityCountdown_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  bool serverRunning_ = false;
  QString connectionURL_ = urlBeforeStart;
  QString pin_ = QStringLiteral("\u2014\u2014\u2014\u2014\u2014\u2014");
  QImage qrImage_;
  std::vector<Portal> portals_;
  std::optional<Uuid> activePortalID_;
  PortalCaptureState captureState_ = PortalCaptureState::idle;
  PixelSize sourceSize_;
  std::vector<PairedDevice> devices_;
  std::set<Uuid> connectedDeviceIDs_;
  int deviceHistoryVersion_ = 0;
  std::vector<LogEntry> logLines_;
  std::optional<bool> reachable_;
  FirewallStatus::Verdict firewallVerdict_ = FirewallStatus::Verdict::unknown;
  std::string firewallFixCommand_;
  std::string firewallTool_;
  bool addressRefused_ = false;  // the advertised address is one the server does not admit
  bool hasScreenRecording_ = false;
  bool hasAccessibility_ = false;
  std::optional<QString> errorMessage_;
  std::map<Uuid, std::uint64_t> frameCounts_;
  std::vector<PendingPairing> pendingRequests_;
  bool virtualDisplayActive_ = false;
  std::optional<QString> virtualDisplayInfo_;
  std::optional<SheetKind> sheet_;
  bool showActivity_ = false;
  std::optional<Portal> retargetingPortal_;
  std::vector<std::string> unsavedFiles_;
};

// A captured picture as an image for the window, sharing its pixels (no copy).
QImage pictureImage(const LiveDisplayPreview::Image& picture);

// QR code of `text` (level H, 4 modules of quiet zone), `scale` pixels per module; a null image
// when it cannot be made.
QImage makeQrImage(const QString& text, int scale);
// The same code for a terminal: two rows of modules per line in UTF-8 half blocks.
std::string terminalQrCode(const std::string& text);

}  // namespace tavelin
