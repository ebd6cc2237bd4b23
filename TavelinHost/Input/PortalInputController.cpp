#include "TavelinHost/Input/PortalInputController.hpp"

#include <thread>

#include "TavelinKit/Dispatch/WorkerThread.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin {

PortalInputController::PortalInputController(std::shared_ptr<InputService> inputService,
                                             HostLogSink log, std::shared_ptr<Executor> queue)
    : inputService_(std::move(inputService)),
      log_(std::move(log)),
      queue_(queue ? std::move(queue) : std::make_shared<WorkerThread>("tavelin.input")) {}

PortalInputMaking PortalInputController::maker(std::shared_ptr<InputService> inputService,
                                               HostLogSink log) {
  return [inputService = std::move(inputService), log = std::move(log)] {
    return std::make_shared<PortalInputController>(inputService->forPortal(), log);
  };
}

PortalInputController::~PortalInputController() {
  // A stroke cut short by the portal going away must not leave a button held on the desktop.
  inputService_->releaseHeldButtons();
}

void PortalInputController::setMapper(std::shared_ptr<const PortalCoordinateMapper> mapper) {
  std::lock_guard guard(lock_);
  mapper_ = std::move(mapper);
}

int PortalInputController::pendingCount() const {
  std::lock_guard guard(lock_);
  return pendingCount_;
}

void PortalInputController::enqueue(const InputMessage& message, const std::optional<Uuid>& from) {
  {
    std::lock_guard guard(lock_);
    if (pendingCount_ > maxPendingBeforeShedding && message.type == "pointermove") return;
    ++pendingCount_;
  }
  queue_->post([weak = weak_from_this(), message, from] {
    auto self = weak.lock();
    if (!self) return;
    self->handle(message, from);
    std::lock_guard guard(self->lock_);
    --self->pendingCount_;
  });
}

void PortalInputController::endSession(const Uuid& session) {
  queue_->post([weak = weak_from_this(), session] {
    auto self = weak.lock();
    if (!self || self->strokeOwner_ != session) return;
    self->endStroke();
  });
}

// The buttons come up, then the keys the stroke held.
void PortalInputController::endStroke() {
  inputService_->releaseHeldButtons();
  inputService_->holdModifiers(0);
  strokeOwner_.reset();
  strokeModifiers_ = 0;
}

void PortalInputController::raiseBeforeGesture(const PortalCoordinateMapper& mapper) {
  if (!activateOnInteraction) return;
  const auto window = mapper.targetWindowID();
  if (!window || *window == 0) return;
  // The window manager needs a moment to bring the window up before events reach it; a window
  // that was in front already needs none.
  if (inputService_->raiseWindow(*window) == InputService::Raise::raised) {
    std::this_thread::sleep_for(pauseAfterRaise);
  }
}

void PortalInputController::handle(const InputMessage& message, const std::optional<Uuid>& from) {
  std::shared_ptr<const PortalCoordinateMapper> mapper;
  {
    std::lock_guard guard(lock_);
    mapper = mapper_;
  }
  if (!mapper) return;
  const std::string& type = message.type;
  InputService& service = *inputService_;
  // Modifiers go down just before the event and come up right after it, back to what a stroke
  // in progress holds. Text takes them only as one character (Ctrl+C); longer text is typed
  // as it is.
  const auto withModifiers = [&](Modifiers modifiers, auto&& event) {
    if (modifiers == 0) {
      event();
      return;
    }
    service.holdModifiers(strokeModifiers_ | modifiers);
    event();
    service.holdModifiers(strokeModifiers_);
  };

  if (type == "text") {
    if (!message.text || message.text->empty()) return;
    raiseBeforeGesture(*mapper);
    const bool oneCharacter = unicode::graphemeCount(*message.text) == 1;
    withModifiers(oneCharacter ? message.modifiers : 0, [&] { service.typeText(*message.text); });
    return;
  }
  if (type == "clipboard") {
    if (message.text) service.setClipboard(*message.text);  // nothing is raised for it
    return;
  }
  if (type == "key") {
    const auto key = parseSpecialKey(message.key);
    if (!key) return;
    raiseBeforeGesture(*mapper);
    withModifiers(message.modifiers, [&] { service.keyPress(*key); });
    return;
  }
  const bool positional = type == "tap" || type == "doubletap" || type == "longpress" ||
                          type == "pointerdown" || type == "pointermove" || type == "pointerup" ||
                          type == "scroll";
  if (!positional) return;  // "ack", "ping", "selectportal" and anything unknown
  const auto point = mapper->mapToScreen(message.normalizedPoint());
  if (!point) {  // off the picture, or the window cannot be found
    // A stroke that ends there still ends: the button comes up where the pointer last was.
    if (type == "pointerup") endStroke();
    return;
  }
  if (type == "pointermove") {
    service.pointerMove(*point);
  } else if (type == "pointerup") {
    service.pointerUp(*point);
    endStroke();
  } else {
    raiseBeforeGesture(*mapper);
    if (type == "tap") {
      withModifiers(message.modifiers, [&] { service.leftClick(*point); });
    } else if (type == "doubletap") {
      withModifiers(message.modifiers, [&] { service.doubleClick(*point); });
    } else if (type == "longpress") {
      withModifiers(message.modifiers, [&] { service.rightClick(*point); });
    } else if (type == "pointerdown") {
      // The stroke's modifiers stay down until it ends (Shift+drag extends a selection).
      strokeModifiers_ = message.modifiers;
      service.holdModifiers(strokeModifiers_);
      service.pointerDown(*point);
      strokeOwner_ = from;
    } else {
      withModifiers(message.modifiers,
                    [&] { service.scroll(*point, message.deltaX, message.deltaY); });
    }
  }
}

}  // namespace tavelin
