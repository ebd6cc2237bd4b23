#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/PortalCaptureSource.hpp"
#include "TavelinKit/Model/PortalInput.hpp"
#include "TavelinKit/Model/ViewerRouting.hpp"

namespace tavelin {

// One portal running for the phones that watch it: its capture source, its input controller,
// and the state last reported. Ending it detaches it from its source and stops the source.
class PortalRuntime : public std::enable_shared_from_this<PortalRuntime> {
 public:
  PortalRuntime(Portal portal, PortalSource pipeline, std::shared_ptr<PortalInput> input);

  const Portal portal;
  const std::shared_ptr<PortalCaptureSource> source;
  const std::shared_ptr<PortalInput> input;
  std::set<Uuid> viewers;  // guarded by the controller's lock
  // The JPEG quality phones chose for the portal; 0: none.
  std::atomic<double> chosenQuality{0};

  // Set before start; called on the source's queues.
  std::function<void(const CapturedFrame&)> onFrame;
  std::function<void()> onStateOrSize;

  // The source's gate, demand and views (see PortalCaptureSource).
  struct Wants {
    std::function<bool()> frameGate;
    std::function<PictureDue()> pictureDemand;
    std::function<std::vector<std::optional<PortalView>>()> pictureViews;
    std::function<std::optional<double>()> pictureQuality;
  };
  void start(Wants wants);
  // No callback reaches the owner after this; the source is stopped.
  void end();

  // What the source reports now.
  std::pair<PortalCaptureState, PixelSize> state() const;
  PortalStateMessage stateMessage() const;

 private:
  std::atomic<bool> ended_{false};
};

// Which portal each phone watches: one running capture per watched portal, its frames to its
// viewers only, each phone's input to its portal, and the portal list and state messages that
// keep the phones informed. Runtimes exist exactly while someone watches. Phones see only the
// portals that are shared: only those are listed, chosen and streamed.
class MultiPortalController : public std::enable_shared_from_this<MultiPortalController> {
 public:
  using PortalsProvider = std::function<std::vector<Portal>()>;

  // Installs its handlers on the server; they hold the controller weakly.
  static std::shared_ptr<MultiPortalController> make(
      std::shared_ptr<const PortalSourceMaking> factory, std::shared_ptr<ViewerServer> server,
      PortalInputMaking makeInput, HostLogSink log, PortalsProvider portalsProvider,
      std::shared_ptr<Executor> mainExecutor);

  void setDefaultPortal(const std::optional<Portal>& portal);
  std::pair<PortalCaptureState, PixelSize> state(const std::optional<Uuid>& forPortal) const;
  // What a phone asking now is told of the default portal.
  PortalStateMessage defaultStateMessage() const;
  // After the catalogue changed: phones watching a portal that is no longer shared (stopped or
  // deleted) leave it, its pictures end and they are told so; every phone gets the new list.
  void broadcastPortalList();
  // To every phone watching a portal, its quality as it holds now (after the rules changed).
  void broadcastQuality();
  // To every phone watching a portal, the text copied on the computer.
  void sendClipboard(const std::string& text);
  void shutdown();

  // The server's events, on the session's queue.
  void handleConnected(const std::shared_ptr<ViewerSession>& session);
  void handleInput(const std::shared_ptr<ViewerSession>& session, const InputMessage& message);
  void pictureWanted(const Uuid& portal);
  void detach(const std::shared_ptr<ViewerSession>& session);
  void attach(const std::shared_ptr<ViewerSession>& session, const Uuid& portalID);

  // Viewers or states changed; on the main executor.
  std::function<void()> onChange;
  // The host's picture quality, and whether a phone may choose another for the portal it
  // watches (for the host's run; the portal's pictures change for all its phones). Asked as
  // phones attach and ask, and before each picture. Unset: phones are not told and may not.
  struct QualityRules {
    double jpegQuality = 0.6;
    bool phonesChoose = false;
  };
  std::function<QualityRules()> qualityRules;
  // Every message a phone sends, before it is routed; on the session's queue. Set before
  // phones connect.
  std::function<void(const ViewerSession&, const InputMessage&)> onInputObserved;

  MultiPortalController(std::shared_ptr<const PortalSourceMaking> factory,
                        std::shared_ptr<ViewerServer> server, PortalInputMaking makeInput,
                        HostLogSink log, PortalsProvider portalsProvider,
                        std::shared_ptr<Executor> mainExecutor);

 private:
  // The portals phones may see, in catalogue order.
  std::vector<Portal> sharedPortals() const;
  std::shared_ptr<PortalRuntime> runtimeLocked(const Uuid& portalID);
  // Takes the session out of its portal's viewers and lets go of what it held down there; ends
  // the runtime (outside the lock) when nobody watches it any more. `guard` holds lock_ on entry
  // and on return.
  void leaveLocked(std::unique_lock<std::mutex>& guard, const ViewerSession& session,
                   const Uuid& portalID);
  // The phone leaves whatever it watches and is told that `portal` is not shared.
  void withdraw(const std::shared_ptr<ViewerSession>& session, const Uuid& portal,
                const std::optional<std::string>& name);
  void sendPortals(ViewerSession& session, const std::optional<Uuid>& current) const;
  // To every phone watching that portal.
  void sendToWatchers(const Uuid& portal, const std::string& message) const;
  // A phone asks for another picture quality for the portal it watches.
  void chooseQuality(ViewerSession& session, PortalRuntime& runtime,
                     const std::optional<std::string>& preset);
  // What the phone is told of its portal's quality: the chosen one while phones may choose.
  std::string qualityMessage(const PortalRuntime& runtime) const;
  void notify();

  const std::shared_ptr<const PortalSourceMaking> factory_;
  const std::shared_ptr<ViewerServer> server_;
  const PortalInputMaking makeInput_;
  const HostLogSink log_;
  const PortalsProvider portalsProvider_;
  const std::shared_ptr<Executor> mainExecutor_;

  mutable std::mutex lock_;
  std::map<Uuid, std::shared_ptr<PortalRuntime>> runtimes_;  // guarded by lock_
  std::map<Uuid, Uuid> deviceLastPortal_;                    // guarded by lock_
  std::optional<Uuid> defaultPortalID_;                      // guarded by lock_
  std::map<Uuid, double> chosenQuality_;                     // guarded by lock_
};

}  // namespace tavelin
