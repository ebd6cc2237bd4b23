#include "TavelinHost/Input/PortalInputController.hpp"

#include <thread>

#include "TavelinKit/Dispatch/WorkerThread.hpp"

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
    self->strokeOwner_.reset();
    self->inputService_->releaseHeldButtons();
  });
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

  if (type == "text") {
    if (!message.text || message.text->empty()) return;
    raiseBeforeGesture(*mapper);
    service.typeText(*message.text);
    return;
  }
  if (type == "key") {
    const auto key = parseSpecialKey(message.key);
    if (!key) return;
    raiseBeforeGesture(*mapper);
    service.keyPress(*key);
    return;
  }
  const bool positional = type == "tap" || type == "doubletap" || type == "longpress" ||
                          type == "pointerdown" || type == "pointermove" || type == "pointerup" ||
                          type == "scroll";
  if (!positional) return;  // "ack", "ping", "selectportal" and anything unknown
  const auto point = mapper->mapToScreen(message.normalizedPoint());
  if (!point) {  // off the picture, or the window cannot be found
    // A stroke that ends there still ends: the button comes up where the pointer last was.
    if (type == "pointerup") {
      service.releaseHeldButtons();
      strokeOwner_.reset();
    }
    return;
  }
  if (type == "pointermove") {
    service.pointerMove(*point);
  } else if (type == "pointerup") {
    service.pointerUp(*point);
    strokeOwner_.reset();
  } else {
    raiseBeforeGesture(*mapper);
    if (type == "tap") {
      service.leftClick(*point);
    } else if (type == "doubletap") {
      service.doubleClick(*point);
    } else if (type == "longpress") {
      service.rightClick(*point);
    } else if (type == "pointerdown") {
      service.pointerDown(*point);
      strokeOwner_ = from;
    } else {
      service.scroll(*point, message.deltaX, message.deltaY);
    }
  }
}

}  // namespace tavelin
