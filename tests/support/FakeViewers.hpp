#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "TavelinKit/Model/PortalCaptureSource.hpp"
#include "TavelinKit/Model/ViewerRouting.hpp"

namespace tavelin::testing {

// A phone's session that keeps the texts sent to it.
class FakeViewerSession final : public ViewerSession {
 public:
  FakeViewerSession(Uuid device, std::string name)
      : ViewerSession(Uuid::random(), device, std::move(name)) {}

  std::optional<Uuid> currentPortalID() const override {
    std::lock_guard guard(lock_);
    return portal_;
  }
  void setCurrentPortalID(const std::optional<Uuid>& portal) override {
    std::lock_guard guard(lock_);
    portal_ = portal;
  }
  std::optional<PortalView> view() const override {
    std::lock_guard guard(lock_);
    return view_;
  }
  void setView(const std::optional<PortalView>& view) override {
    std::lock_guard guard(lock_);
    view_ = view;
  }
  void sendText(std::string text) override {
    std::lock_guard guard(lock_);
    texts_.push_back(std::move(text));
  }
  std::vector<std::string> takeTexts() {
    std::lock_guard guard(lock_);
    return std::exchange(texts_, {});
  }

 private:
  mutable std::mutex lock_;
  std::optional<Uuid> portal_;
  std::optional<PortalView> view_;
  std::vector<std::string> texts_;
};

// The streaming server as the routing sees it: sessions the test connects, frames counted per
// portal.
class FakeViewerServer final : public ViewerServer {
 public:
  void setViewerHandlers(ViewerHandlers installed) override { handlers = std::move(installed); }
  std::vector<std::shared_ptr<ViewerSession>> viewerSessions() const override {
    std::lock_guard guard(lock_);
    return {open.begin(), open.end()};
  }
  void sendFrame(const CapturedFrame&, const Uuid& portal) override {
    std::lock_guard guard(lock_);
    ++framesSent[portal];
  }
  std::size_t viewerCount(const Uuid& portal) const override {
    std::lock_guard guard(lock_);
    return static_cast<std::size_t>(std::count_if(
        open.begin(), open.end(), [&](const auto& s) { return s->currentPortalID() == portal; }));
  }

  std::shared_ptr<FakeViewerSession> connect(Uuid device, std::string name) {
    auto session = std::make_shared<FakeViewerSession>(device, std::move(name));
    {
      std::lock_guard guard(lock_);
      open.push_back(session);
    }
    handlers.onConnected(session);
    return session;
  }
  void disconnect(const std::shared_ptr<FakeViewerSession>& session) {
    {
      std::lock_guard guard(lock_);
      std::erase(open, session);
    }
    handlers.onDisconnected(session);
  }
  int frames(const Uuid& portal) {
    std::lock_guard guard(lock_);
    return framesSent[portal];
  }

  ViewerHandlers handlers;

 private:
  mutable std::mutex lock_;
  std::vector<std::shared_ptr<FakeViewerSession>> open;
  std::map<Uuid, int> framesSent;
};

// A capture source the test drives by hand; what happens to it is written into a shared
// journal ("start A", "stop A").
class FakePortalSource final : public PortalCaptureSource {
 public:
  FakePortalSource(std::string name, std::shared_ptr<std::vector<std::string>> journal)
      : name_(std::move(name)), journal_(std::move(journal)) {}

  PortalCaptureState state() const override { return state_; }
  PixelSize sourceSize() const override { return size_; }
  std::shared_ptr<const WindowGeometryProviding> geometryProvider() const override {
    return nullptr;
  }
  std::optional<WindowID> targetWindowID() const override { return std::nullopt; }
  std::string descriptionText() const override { return name_; }
  void start() override { journal_->push_back("start " + name_); }
  void stop() override { journal_->push_back("stop " + name_); }
  void pictureWanted(bool refresh) override { ++(refresh ? refreshes : wakes); }

  int refreshes = 0;  // asked for a picture without a change
  int wakes = 0;      // told a phone can take the next change

  void report(PortalCaptureState next, PixelSize size) {
    state_ = next;
    size_ = size;
    if (onStateChange) onStateChange(next);
    if (onSourceSizeChange) onSourceSizeChange(size);
  }
  // A frame, if the gate lets it through; whether it did.
  bool emitFrame() {
    if (frameGate && !frameGate()) return false;
    if (onFrame) onFrame({std::make_shared<const Bytes>(Bytes{0xFF, 0xD8}), size_, {}});
    return true;
  }

 private:
  std::string name_;
  std::shared_ptr<std::vector<std::string>> journal_;
  PortalCaptureState state_ = PortalCaptureState::idle;
  PixelSize size_;
};

// Makes fake sources named after their portals, over the portal's screen region.
class FakeSourceFactory final : public PortalSourceMaking {
 public:
  PortalSource make(const Portal& portal) const override {
    journal->push_back("make " + portal.name);
    auto source = std::make_shared<FakePortalSource>(portal.name, journal);
    made[portal.name] = source;
    return {source, std::make_shared<ScreenRegionCoordinateMapper>(ScreenRect{0, 0, 100, 100})};
  }
  std::shared_ptr<std::vector<std::string>> journal = std::make_shared<std::vector<std::string>>();
  mutable std::map<std::string, std::shared_ptr<FakePortalSource>> made;
};

}  // namespace tavelin::testing
