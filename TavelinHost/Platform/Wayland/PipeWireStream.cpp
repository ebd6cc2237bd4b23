#include "TavelinHost/Platform/Wayland/PipeWireStream.hpp"

#include <utility>
#include <variant>

#include "TavelinHost/Platform/Wayland/FrameAssembler.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireConsumer.hpp"

namespace tavelin::wayland {

namespace {

// Whether two filters show the same thing, so that the node can stay: the engine passes the
// filter again with every reconfiguration, and a re-open may ask the user anew.
bool sameContent(const ContentFilter& a, const ContentFilter& b) {
  if (a.content.index() != b.content.index()) return false;
  if (const auto* window = std::get_if<WindowContent>(&a.content))
    return window->windowID == std::get<WindowContent>(b.content).windowID;
  const auto& first = std::get<DisplayContent>(a.content);
  const auto& second = std::get<DisplayContent>(b.content);
  return first.displayID == second.displayID &&
         first.excludedProcessIDs == second.excludedProcessIDs;
}

}  // namespace

PipeWireStream::PipeWireStream(std::shared_ptr<StreamProvider> provider, ContentFilter filter,
                               StreamConfiguration configuration, HostLogSink log)
    : provider_(std::move(provider)),
      log_(std::move(log)),
      assembler_(std::make_shared<FrameAssembler>(configuration, filter, log_)),
      filter_(std::move(filter)) {
  assembler_->observeContentSize(
      [provider = provider_](int width, int height) { provider->contentSized(width, height); });
}

PipeWireStream::~PipeWireStream() {
  // No work of the worker runs now: each holds the stream, or found it gone and did nothing.
  consumer_.reset();
  if (opened_) provider_->close();
}

void PipeWireStream::addOutput(SerialQueue queue,
                               std::function<void(const CaptureSample&)> output) {
  assembler_->setOutput(std::move(queue), std::move(output));
}

void PipeWireStream::start(CaptureCompletion done) {
  onWorker([done = std::move(done)](PipeWireStream& self) {
    std::error_code error;
    if (!self.running_) error = self.begin();
    if (done) done(error);
  });
}

void PipeWireStream::stop(CaptureCompletion done) {
  onWorker([done = std::move(done)](PipeWireStream& self) {
    self.end();
    if (done) done({});
  });
}

void PipeWireStream::updateConfiguration(const StreamConfiguration& configuration,
                                         CaptureCompletion done) {
  assembler_->setConfiguration(configuration);
  onWorker([done = std::move(done)](PipeWireStream&) {
    if (done) done({});
  });
}

void PipeWireStream::updateFilter(const ContentFilter& filter, CaptureCompletion done) {
  onWorker([filter, done = std::move(done)](PipeWireStream& self) {
    const bool reopen = self.running_ && !sameContent(self.filter_, filter);
    self.filter_ = filter;
    self.assembler_->setFilter(filter);
    std::error_code error;
    if (reopen) {
      self.end();
      error = self.begin();
    }
    if (done) done(error);
    // The old node is closed and no new one came: the stream has ended, which the engine
    // learns as it learns of any other end.
    if (error && self.onStoppedWithError) self.onStoppedWithError(error);
  });
}

void PipeWireStream::pictureWanted(bool refresh) {
  if (refresh) assembler_->repeat();
}

void PipeWireStream::onWorker(std::function<void(PipeWireStream&)> work) {
  worker_.post([self = shared_from_this(), work = std::move(work)] { work(*self); });
}

void PipeWireStream::relay(const SerialQueue& relay, std::weak_ptr<PipeWireStream> stream,
                           std::uint64_t session, std::error_code error) {
  relay.async([stream = std::move(stream), session, error] {
    if (auto self = stream.lock())
      self->onWorker([session, error](PipeWireStream& s) { s.ended(session, error); });
  });
}

std::error_code PipeWireStream::begin() {
  if (!watchingProvider_) {
    watchingProvider_ = true;
    provider_->onClosed = [relay = relay_, stream = weak_from_this(),
                           session = openSession_](std::error_code error) {
      PipeWireStream::relay(relay, stream, session->load(), error);
    };
  }
  const std::uint64_t session = ++session_;
  openSession_->store(session);
  std::error_code error;
  const auto node = provider_->open(filter_, error);
  if (!node) {
    if (!error) error = std::make_error_code(std::errc::no_such_device);
    if (log_) log_("Capture", "The desktop gave no PipeWire node: " + error.message());
    return error;
  }
  opened_ = true;
  assembler_->restart();
  PipeWireConsumer::Handlers handlers;
  handlers.frame = [assembler = assembler_](const NodeFrame& frame) {
    return assembler->offer(frame, FrameAssembler::Clock::now());
  };
  handlers.ended = [relay = relay_, stream = weak_from_this(), session](std::error_code e) {
    PipeWireStream::relay(relay, stream, session, e);
  };
  handlers.log = log_;
  consumer_ = PipeWireConsumer::connect(*node, std::move(handlers), error);
  if (!consumer_) {
    end();
    return error;
  }
  running_ = true;
  return {};
}

void PipeWireStream::end() {
  consumer_.reset();
  if (std::exchange(opened_, false)) provider_->close();
  running_ = false;
}

void PipeWireStream::ended(std::uint64_t session, std::error_code error) {
  if (!running_ || session != session_) return;  // stopped already, or about an earlier node
  end();
  if (onStoppedWithError) onStoppedWithError(error);
}

}  // namespace tavelin::wayland
