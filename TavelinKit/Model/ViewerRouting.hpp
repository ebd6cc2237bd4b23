#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TavelinKit/Foundation/Bytes.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Model/PictureDemand.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

// What the portal routing needs of the streaming server and its phones' sessions, so the rules
// can be exercised without sockets.
namespace tavelin {

// One phone's open stream.
class ViewerSession {
 public:
  ViewerSession(Uuid sessionID, Uuid device, std::string name)
      : id(sessionID), deviceID(device), deviceName(std::move(name)) {}
  virtual ~ViewerSession() = default;
  ViewerSession(const ViewerSession&) = delete;
  ViewerSession& operator=(const ViewerSession&) = delete;

  const Uuid id;
  const Uuid deviceID;
  const std::string deviceName;

  // The portal this phone watches; from any thread.
  virtual std::optional<Uuid> currentPortalID() const = 0;
  virtual void setCurrentPortalID(const std::optional<Uuid>& portal) = 0;
  // The part of its portal this phone shows, when zoomed in; from any thread.
  virtual std::optional<PortalView> view() const = 0;
  virtual void setView(const std::optional<PortalView>& view) = 0;
  // Queues a text message to the phone; from any thread.
  virtual void sendText(std::string text) = 0;
};

struct ViewerHandlers {
  std::function<void(const std::shared_ptr<ViewerSession>&)> onConnected;
  std::function<void(const std::shared_ptr<ViewerSession>&)> onDisconnected;
  std::function<void(const std::shared_ptr<ViewerSession>&, const InputMessage&)> onInput;
  // A phone of `portal` can take a picture now (it acknowledged the last one).
  std::function<void(const Uuid& portal)> onPictureWanted;
};

class ViewerServer {
 public:
  virtual ~ViewerServer() = default;
  // Installed once, before phones connect; called on the session's own queue.
  virtual void setViewerHandlers(ViewerHandlers handlers) = 0;
  virtual std::vector<std::shared_ptr<ViewerSession>> viewerSessions() const = 0;
  // To every open session watching `portal` with the frame's view, one shared buffer for all.
  virtual void sendFrame(const CapturedFrame& frame, const Uuid& portal) = 0;
  virtual std::size_t viewerCount(const Uuid& portal) const = 0;
  // The distinct views the phones watching `portal` show (nothing: the whole portal), each
  // once, in no particular order: a picture is made for each.
  virtual std::vector<std::optional<PortalView>> views(const Uuid& portal) const {
    std::vector<std::optional<PortalView>> distinct;
    for (const auto& session : viewerSessions()) {
      if (session->currentPortalID() != portal) continue;
      const auto view = session->view();
      if (std::find(distinct.begin(), distinct.end(), view) == distinct.end())
        distinct.push_back(view);
    }
    return distinct;
  }
  // From when the first of the phones watching `portal` wants its next picture.
  virtual PictureDue pictureDue(const Uuid& portal) const {
    return viewerCount(portal) > 0 ? PictureDue(pictureDueNow) : std::nullopt;
  }
};

}  // namespace tavelin
