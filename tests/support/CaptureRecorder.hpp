#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinKit/Model/PortalCaptureSource.hpp"

namespace tavelin::testing {

// Everything a capture source tells its owner and its log, from whatever queue, for a test to
// read or wait for. Callbacks capture the shared state, never the recorder.
class CaptureRecorder {
 public:
  void attach(PortalCaptureSource& source) {
    source.onStateChange = [state = state_](PortalCaptureState next) {
      state->update([&] { state->states.push_back(next); });
    };
    source.onSourceSizeChange = [state = state_](const PixelSize& size) {
      state->update([&] { state->sizes.push_back(size); });
    };
    source.onFrame = [state = state_](const CapturedFrame& frame) {
      state->update([&] { state->frames.push_back(frame); });
    };
  }
  std::function<void(std::string_view, std::string_view)> log() {
    return [state = state_](std::string_view category, std::string_view message) {
      state->update(
          [&] { state->logs.push_back(std::string(category) + ": " + std::string(message)); });
    };
  }

  std::vector<PortalCaptureState> states() const { return read(&State::states); }
  std::vector<PixelSize> sizes() const { return read(&State::sizes); }
  std::vector<CapturedFrame> frames() const { return read(&State::frames); }
  std::vector<std::string> logs() const { return read(&State::logs); }
  int count(const std::string& line) const {
    const auto lines = logs();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }
  void clear() {
    state_->update([&] {
      state_->states.clear(), state_->sizes.clear(), state_->frames.clear(), state_->logs.clear();
    });
  }

  // Waits until `done` holds for what was recorded; false after `limit`.
  template <typename Predicate>
  bool waitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, limit, [&] {
      return done(View{state_->states, state_->sizes, state_->frames, state_->logs});
    });
  }
  struct View {
    const std::vector<PortalCaptureState>& states;
    const std::vector<PixelSize>& sizes;
    const std::vector<CapturedFrame>& frames;
    const std::vector<std::string>& logs;
    bool logged(const std::string& line) const {
      return std::find(logs.begin(), logs.end(), line) != logs.end();
    }
  };

 private:
  struct State {
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<PortalCaptureState> states;
    std::vector<PixelSize> sizes;
    std::vector<CapturedFrame> frames;
    std::vector<std::string> logs;
    template <typename F>
    void update(F change) {
      std::lock_guard guard(lock);
      change();
      changed.notify_all();
    }
  };
  template <typename T>
  T read(T State::*member) const {
    std::lock_guard guard(state_->lock);
    return (*state_).*member;
  }
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A complete sample of width × height BGRX pixels of one colour.
inline CaptureSample solidSample(int width, int height, std::uint8_t blue = 40,
                                 std::uint8_t green = 120, std::uint8_t red = 200) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(width) *
                                                            static_cast<std::size_t>(height) * 4);
  for (std::size_t i = 0; i < pixels->size(); i += 4) {
    (*pixels)[i] = blue, (*pixels)[i + 1] = green, (*pixels)[i + 2] = red;
  }
  CaptureSample sample;
  sample.isValid = true;
  sample.status = FrameStatus::complete;
  sample.contentRect = {0, 0, static_cast<double>(width), static_cast<double>(height)};
  sample.pixels = PixelBuffer::of(width, height, width * 4, std::move(pixels));
  return sample;
}

}  // namespace tavelin::testing
