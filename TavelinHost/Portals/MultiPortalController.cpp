#include "TavelinHost/Portals/MultiPortalController.hpp"

#include <algorithm>

namespace tavelin {

// ---- PortalRuntime

PortalRuntime::PortalRuntime(Portal portalCopy, PortalSource pipeline,
                             std::shared_ptr<PortalInput> inputController)
    : portal(std::move(portalCopy)),
      source(std::move(pipeline.source)),
      input(std::move(inputController)) {}

void PortalRuntime::start(Wants wants) {
  source->frameGate = std::move(wants.frameGate);
  source->pictureDemand = std::move(wants.pictureDemand);
  source->pictureViews = std::move(wants.pictureViews);
  source->pictureQuality = std::move(wants.pictureQuality);
  const std::weak_ptr<PortalRuntime> weak = weak_from_this();
  source->onFrame = [weak](const CapturedFrame& frame) {
    auto self = weak.lock();
    if (self && !self->ended_ && self->onFrame) self->onFrame(frame);
  };
  // The source keeps its own state and size; the runtime only passes the news on.
  auto changed = [weak] {
    auto self = weak.lock();
    if (self && !self->ended_ && self->onStateOrSize) self->onStateOrSize();
  };
  source->onStateChange = [changed](PortalCaptureState) { changed(); };
  source->onSourceSizeChange = [changed](const PixelSize&) { changed(); };
  source->start();
}

void PortalRuntime::end() {
  // The source may be calling out on its own queues right now: rather than rewrite its
  // callbacks under its feet, they go quiet from here on.
  ended_ = true;
  source->stop();
}

std::pair<PortalCaptureState, PixelSize> PortalRuntime::state() const {
  return {source->state(), source->sourceSize()};
}

PortalStateMessage PortalRuntime::stateMessage() const {
  const auto [current, size] = state();
  return PortalStateMessage(portal.id.string(), portal.name, current, size,
                            PortalStateMessage::isStreaming(current, size));
}

// ---- MultiPortalController

std::shared_ptr<MultiPortalController> MultiPortalController::make(
    std::shared_ptr<const PortalSourceMaking> factory, std::shared_ptr<ViewerServer> server,
    PortalInputMaking makeInput, HostLogSink log, PortalsProvider portalsProvider,
    std::shared_ptr<Executor> mainExecutor) {
  auto controller = std::make_shared<MultiPortalController>(
      std::move(factory), server, std::move(makeInput), std::move(log), std::move(portalsProvider),
      std::move(mainExecutor));
  const std::weak_ptr<MultiPortalController> weak = controller;
  server->setViewerHandlers({
      [weak](const std::shared_ptr<ViewerSession>& session) {
        if (auto self = weak.lock()) self->handleConnected(session);
      },
      [weak](const std::shared_ptr<ViewerSession>& session) {
        if (auto self = weak.lock()) self->detach(session);
      },
      [weak](const std::shared_ptr<ViewerSession>& session, const InputMessage& message) {
        if (auto self = weak.lock()) self->handleInput(session, message);
      },
      [weak](const Uuid& portal) {
        if (auto self = weak.lock()) self->pictureWanted(portal);
      },
  });
  return controller;
}

MultiPortalController::MultiPortalController(std::shared_ptr<const PortalSourceMaking> factory,
                                             std::shared_ptr<ViewerServer> server,
                                             PortalInputMaking makeInput, HostLogSink log,
                                             PortalsProvider portalsProvider,
                                             std::shared_ptr<Executor> mainExecutor)
    : factory_(std::move(factory)),
      server_(std::move(server)),
      makeInput_(std::move(makeInput)),
      log_(std::move(log)),
      portalsProvider_(std::move(portalsProvider)),
      mainExecutor_(std::move(mainExecutor)) {}

std::vector<Portal> MultiPortalController::sharedPortals() const {
  auto portals = portalsProvider_();
  std::erase_if(portals, [](const Portal& portal) { return !portal.shared; });
  return portals;
}

namespace {

bool contains(const std::vector<Portal>& portals, const Uuid& id) {
  return std::any_of(portals.begin(), portals.end(),
                     [&](const Portal& portal) { return portal.id == id; });
}

}  // namespace

void MultiPortalController::handleConnected(const std::shared_ptr<ViewerSession>& session) {
  const auto portals = sharedPortals();
  std::optional<Uuid> target;
  {
    std::lock_guard guard(lock_);
    const auto remembered = deviceLastPortal_.find(session->deviceID);
    if (remembered != deviceLastPortal_.end() && contains(portals, remembered->second)) {
      target = remembered->second;
    } else if (defaultPortalID_ && contains(portals, *defaultPortalID_)) {
      target = defaultPortalID_;
    } else if (!portals.empty()) {
      target = portals.front().id;
    }
  }
  if (target) {
    attach(session, *target);
    return;
  }
  sendPortals(*session, std::nullopt);
  session->sendText(PortalStateMessage::noPortal().jsonString());
}

void MultiPortalController::leaveLocked(std::unique_lock<std::mutex>& guard,
                                        const ViewerSession& session, const Uuid& portalID) {
  const auto found = runtimes_.find(portalID);
  if (found == runtimes_.end()) return;
  // A stroke the phone began there must not stay pressed on the desktop.
  found->second->input->endSession(session.id);
  found->second->viewers.erase(session.id);
  if (!found->second->viewers.empty()) return;
  const auto ended = found->second;
  runtimes_.erase(found);
  guard.unlock();
  ended->end();
  guard.lock();
}

void MultiPortalController::attach(const std::shared_ptr<ViewerSession>& session,
                                   const Uuid& portalID) {
  const auto previous = session->currentPortalID();
  if (previous == portalID) return;
  std::shared_ptr<PortalRuntime> runtime;
  {
    std::unique_lock guard(lock_);
    if (previous) leaveLocked(guard, *session, *previous);
    // Set before the portal is checked: a stop that comes after the check finds the phone here.
    session->setCurrentPortalID(portalID);
    session->setView(std::nullopt);  // a part of the last portal is no part of this one
    runtime = runtimeLocked(portalID);
    if (runtime) {
      runtime->viewers.insert(session->id);
      deviceLastPortal_[session->deviceID] = portalID;
    } else {
      session->setCurrentPortalID(std::nullopt);
    }
  }
  if (!runtime) {  // stopped (or deleted) since the phone was offered it
    withdraw(session, portalID, std::nullopt);
    return;
  }
  sendPortals(*session, portalID);
  session->sendText(runtime->stateMessage().jsonString());
  if (qualityRules) session->sendText(qualityMessage(*runtime));
  runtime->source->pictureWanted(true);  // a still screen has a picture for it too
  if (log_)
    log_("Portals", session->deviceName + " \u2192 portal " + portalID.string().substr(0, 8));
  notify();
}

std::shared_ptr<PortalRuntime> MultiPortalController::runtimeLocked(const Uuid& portalID) {
  // Asked each time, also of a running portal: one that stopped being shared takes no phones.
  const auto portals = sharedPortals();
  const auto portal = std::find_if(portals.begin(), portals.end(), [&](const Portal& candidate) {
    return candidate.id == portalID;
  });
  if (portal == portals.end()) return nullptr;
  if (const auto found = runtimes_.find(portalID); found != runtimes_.end()) return found->second;

  auto pipeline = factory_->make(*portal);
  auto input = makeInput_();
  input->setMapper(pipeline.mapper);
  auto runtime = std::make_shared<PortalRuntime>(*portal, std::move(pipeline), std::move(input));
  if (const auto chosen = chosenQuality_.find(portalID); chosen != chosenQuality_.end()) {
    runtime->chosenQuality = chosen->second;
  }

  const std::weak_ptr<MultiPortalController> weak = weak_from_this();
  runtime->onFrame = [weak, portalID](const CapturedFrame& frame) {
    if (auto self = weak.lock()) self->server_->sendFrame(frame, portalID);
  };
  const std::weak_ptr<PortalRuntime> weakRuntime = runtime;
  runtime->onStateOrSize = [weak, weakRuntime, portalID] {
    auto self = weak.lock();
    auto current = weakRuntime.lock();
    if (!self || !current) return;
    self->sendToWatchers(portalID, current->stateMessage().jsonString());
    self->notify();
  };
  runtimes_[portalID] = runtime;
  runtime->start({
      [weak, portalID] {
        auto self = weak.lock();
        return self && self->server_->viewerCount(portalID) > 0;
      },
      [weak, portalID] {
        auto self = weak.lock();
        return self ? self->server_->pictureDue(portalID) : std::nullopt;
      },
      [weak, portalID] {
        auto self = weak.lock();
        return self ? self->server_->views(portalID) : std::vector<std::optional<PortalView>>{};
      },
      [weak, weakRuntime]() -> std::optional<double> {
        auto self = weak.lock();
        auto current = weakRuntime.lock();
        if (!self || !current || !self->qualityRules) return std::nullopt;
        const double chosen = current->chosenQuality;
        if (chosen <= 0 || !self->qualityRules().phonesChoose) return std::nullopt;
        return chosen;
      },
  });
  if (log_) log_("Capture", "Runtime started for " + portal->name);
  return runtime;
}

void MultiPortalController::withdraw(const std::shared_ptr<ViewerSession>& session,
                                     const Uuid& portal, const std::optional<std::string>& name) {
  if (const auto current = session->currentPortalID()) {
    session->setCurrentPortalID(std::nullopt);
    std::unique_lock guard(lock_);
    leaveLocked(guard, *session, *current);
  }
  session->sendText(PortalStateMessage::notShared(portal.string(), name).jsonString());
  sendPortals(*session, std::nullopt);
  if (log_) {
    log_("Portals",
         session->deviceName + " left portal " + portal.string().substr(0, 8) + ": not shared");
  }
  notify();
}

void MultiPortalController::handleInput(const std::shared_ptr<ViewerSession>& session,
                                        const InputMessage& message) {
  if (onInputObserved) onInputObserved(*session, message);
  const auto current = session->currentPortalID();
  if (message.type == "selectportal") {
    const auto id = message.portalId ? Uuid::parse(*message.portalId) : std::nullopt;
    if (!id || id == current) return;
    const auto portals = portalsProvider_();
    const auto portal = std::find_if(portals.begin(), portals.end(),
                                     [&](const Portal& candidate) { return candidate.id == *id; });
    if (portal == portals.end()) return;
    if (portal->shared) {
      attach(session, *id);
      return;
    }
    // Not for this phone: it stays where it is and learns why.
    session->sendText(PortalStateMessage::notShared(id->string(), portal->name).jsonString());
    sendPortals(*session, current);
    std::shared_ptr<PortalRuntime> watched;
    if (current) {
      std::lock_guard guard(lock_);
      if (const auto found = runtimes_.find(*current); found != runtimes_.end()) {
        watched = found->second;
      }
    }
    if (watched) session->sendText(watched->stateMessage().jsonString());
    return;
  }
  if (!current) return;
  std::shared_ptr<PortalRuntime> runtime;
  {
    std::lock_guard guard(lock_);
    if (const auto found = runtimes_.find(*current); found != runtimes_.end()) {
      runtime = found->second;
    }
  }
  if (!runtime) return;
  if (message.type == InputMessageType::quality) {
    chooseQuality(*session, *runtime, message.preset);
    return;
  }
  if (message.type == InputMessageType::viewport) {
    // A new part to show, also of a still screen.
    if (session->view() == message.view) return;
    session->setView(message.view);
    runtime->source->pictureWanted(true);
    return;
  }
  runtime->input->enqueue(message, session->id);
}

void MultiPortalController::pictureWanted(const Uuid& portal) {
  std::shared_ptr<PortalRuntime> runtime;
  {
    std::lock_guard guard(lock_);
    if (const auto found = runtimes_.find(portal); found != runtimes_.end())
      runtime = found->second;
  }
  if (runtime) runtime->source->pictureWanted(false);
}

void MultiPortalController::detach(const std::shared_ptr<ViewerSession>& session) {
  const auto current = session->currentPortalID();
  if (!current) return;
  session->setCurrentPortalID(std::nullopt);
  {
    std::unique_lock guard(lock_);
    leaveLocked(guard, *session, *current);
  }
  notify();
}

void MultiPortalController::setDefaultPortal(const std::optional<Portal>& portal) {
  {
    std::lock_guard guard(lock_);
    defaultPortalID_ = portal ? std::optional(portal->id) : std::nullopt;
  }
  if (portal) {
    for (const auto& session : server_->viewerSessions()) {
      if (!session->currentPortalID()) attach(session, portal->id);
    }
  }
  notify();
}

std::pair<PortalCaptureState, PixelSize> MultiPortalController::state(
    const std::optional<Uuid>& forPortal) const {
  if (!forPortal) return {PortalCaptureState::idle, PixelSize::empty};
  std::lock_guard guard(lock_);
  const auto found = runtimes_.find(*forPortal);
  if (found == runtimes_.end()) return {PortalCaptureState::idle, PixelSize::empty};
  return found->second->state();
}

PortalStateMessage MultiPortalController::defaultStateMessage() const {
  std::optional<Uuid> id;
  {
    std::lock_guard guard(lock_);
    id = defaultPortalID_;
    if (id) {
      if (const auto found = runtimes_.find(*id); found != runtimes_.end()) {
        return found->second->stateMessage();
      }
    }
  }
  const auto portals = sharedPortals();
  const auto portal = std::find_if(portals.begin(), portals.end(),
                                   [&](const Portal& candidate) { return candidate.id == id; });
  if (!id || portal == portals.end()) return PortalStateMessage::noPortal();
  return PortalStateMessage(id->string(), portal->name, PortalCaptureState::idle, PixelSize::empty,
                            false);
}

void MultiPortalController::sendPortals(ViewerSession& session,
                                        const std::optional<Uuid>& current) const {
  std::vector<PortalSummary> items;
  for (const auto& portal : sharedPortals()) {
    items.push_back({portal.id.string(), portal.name, std::string(rawValue(portal.type()))});
  }
  session.sendText(PortalsListMessage(std::move(items),
                                      current ? std::optional(current->string()) : std::nullopt)
                       .jsonString());
}

std::string MultiPortalController::qualityMessage(const PortalRuntime& runtime) const {
  const auto rules = qualityRules ? qualityRules() : QualityRules{};
  const double chosen = runtime.chosenQuality;
  const bool useChosen = rules.phonesChoose && chosen > 0;
  return qualityJson(useChosen ? chosen : rules.jpegQuality, rules.phonesChoose);
}

void MultiPortalController::chooseQuality(ViewerSession& session, PortalRuntime& runtime,
                                          const std::optional<std::string>& preset) {
  const auto rules = qualityRules ? qualityRules() : QualityRules{};
  const auto wanted = preset ? findQualityPreset(*preset) : std::nullopt;
  if (!rules.phonesChoose || !wanted) {
    if (log_) {
      log_("Portals",
           session.deviceName +
               (rules.phonesChoose ? " asked for a picture quality that does not exist: \"" +
                                         preset.value_or("") + "\""
                                   : " may not change the picture quality: this computer does not "
                                     "let phones choose it"));
    }
    // Its control goes back to what holds.
    if (qualityRules) session.sendText(qualityMessage(runtime));
    return;
  }
  {
    std::lock_guard guard(lock_);
    chosenQuality_[runtime.portal.id] = wanted->jpegQuality;
    runtime.chosenQuality = wanted->jpegQuality;
  }
  sendToWatchers(runtime.portal.id, qualityMessage(runtime));
  runtime.source->pictureWanted(true);  // the new quality shows also on a still screen
  if (log_) {
    log_("Portals", session.deviceName + " set the picture quality of " + runtime.portal.name +
                        " to " + std::string(wanted->label));
  }
}

void MultiPortalController::broadcastQuality() {
  if (!qualityRules) return;
  std::vector<std::shared_ptr<PortalRuntime>> running;
  {
    std::lock_guard guard(lock_);
    for (const auto& [id, runtime] : runtimes_) running.push_back(runtime);
  }
  for (const auto& runtime : running) sendToWatchers(runtime->portal.id, qualityMessage(*runtime));
}

void MultiPortalController::sendToWatchers(const Uuid& portal, const std::string& message) const {
  for (const auto& session : server_->viewerSessions()) {
    if (session->currentPortalID() == portal) session->sendText(message);
  }
}

void MultiPortalController::sendClipboard(const std::string& text) {
  const std::string message = clipboardJson(text);
  for (const auto& session : server_->viewerSessions()) {
    if (session->currentPortalID()) session->sendText(message);
  }
}

void MultiPortalController::broadcastPortalList() {
  const auto all = portalsProvider_();
  for (const auto& session : server_->viewerSessions()) {
    const auto current = session->currentPortalID();
    const auto portal = std::find_if(
        all.begin(), all.end(), [&](const Portal& candidate) { return candidate.id == current; });
    if (!current || (portal != all.end() && portal->shared)) {
      sendPortals(*session, current);
      continue;
    }
    // Stopped, or deleted: then only its runtime still knows its name.
    std::optional<std::string> name;
    if (portal != all.end()) {
      name = portal->name;
    } else {
      std::lock_guard guard(lock_);
      if (const auto found = runtimes_.find(*current); found != runtimes_.end()) {
        name = found->second->portal.name;
      }
    }
    withdraw(session, *current, name);
  }
}

void MultiPortalController::shutdown() {
  std::map<Uuid, std::shared_ptr<PortalRuntime>> ended;
  {
    std::lock_guard guard(lock_);
    ended.swap(runtimes_);
  }
  for (const auto& entry : ended) entry.second->end();
}

void MultiPortalController::notify() {
  if (!mainExecutor_) return;
  mainExecutor_->post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->onChange) self->onChange();
  });
}

}  // namespace tavelin
