#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/PortalInput.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

namespace tavelin {

class AppSettings;
class Executor;
class MultiPortalController;
class PortalManager;
class PortalSourceMaking;
class ViewerServer;

// The portals and their sharing: the catalogue (kept in the data folder), which portals are
// shared and which one new phones get, and what each shared portal is doing for the phones
// that watch it. On the main thread.
class PortalSharing final : public QObject {
  Q_OBJECT
 public:
  // How a watched portal is captured, streamed and driven.
  struct Routing {
    std::shared_ptr<const PortalSourceMaking> sources;
    std::shared_ptr<ViewerServer> server;
    PortalInputMaking makeInput;
    std::shared_ptr<Executor> mainExecutor;
  };

  PortalSharing(const std::shared_ptr<DataFolder>& folder, const AppSettings& settings,
                Routing routing, HostLogSink log);
  ~PortalSharing() override;

  const std::vector<Portal>& portals() const { return portals_; }
  std::optional<Portal> find(const Uuid& id) const;
  std::optional<Uuid> activePortalID() const { return activePortalID_; }
  PortalCaptureState captureState() const { return captureState_; }
  bool isAnythingShared() const;
  // "Not shared", or what a shared portal is doing now.
  QString portalStateText(const Portal& portal) const;
  // What the active portal is doing, "Nothing streaming" without one.
  QString captureStateText() const;

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
  // Stores the portal and makes it the active one.
  void add(const Portal& portal);
  // Changes what the portal is and how it is called; whether it is shared stays as it is.
  void update(const Portal& portal);
  void remove(const Portal& portal);

  // Looks at the active portal's capture again (the once-a-second refresh).
  void refresh();
  // Ends every capture and hides the border; phones stay connected.
  void shutdown();
  // What a phone asking the server is told of the active portal; from any thread.
  // Sends the computer's copied text to the phones watching a portal; from any thread, also
  // after this object is gone (then it does nothing).
  std::function<void(const std::string&)> clipboardSender() const;
  std::function<PortalStateMessage()> stateProvider() const;

  // Shows a border around a shared screen region, or hides it (nothing); the window's.
  std::function<void(std::optional<ScreenRect>)> showRegionBorder;
  void updateRegionBorder();

 Q_SIGNALS:
  void portalsChanged();
  void activePortalIDChanged();
  void captureStateChanged();
  // The capture state of some portal changed (a phone came, left, a capture started).
  void portalStatesChanged();
  // Every message a phone sends, for a terminal that prints them.
  void inputReceived(const tavelin::Uuid& deviceID, const tavelin::InputMessage& message);

 private:
  // Stores whether the portal is shared; false when it is not in the catalogue.
  bool setShared(const Uuid& id, bool shared);
  void reloadPortals();
  void setActive(const std::optional<Uuid>& id);

  const AppSettings& settings_;
  const HostLogSink log_;
  std::shared_ptr<PortalManager> manager_;
  std::shared_ptr<MultiPortalController> routing_;
  std::vector<Portal> portals_;
  std::optional<Uuid> activePortalID_;
  PortalCaptureState captureState_ = PortalCaptureState::idle;
};

}  // namespace tavelin
