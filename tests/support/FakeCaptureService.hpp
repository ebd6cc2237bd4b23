#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"

namespace tavelin::testing {

// A capture stream the test drives: it records what was asked of it and delivers the samples
// the test hands it, on the output queue as a real stream would.
class FakeCaptureStream final : public CaptureStream {
 public:
  // Completions go to `completions`: a real queue unless the test wants to run them by hand.
  FakeCaptureStream(ContentFilter filter, StreamConfiguration configuration,
                    std::shared_ptr<Executor> completions = nullptr)
      : filter(std::move(filter)),
        configuration(std::move(configuration)),
        completions_(completions ? std::move(completions)
                                 : std::make_shared<SerialQueue>("tavelin.test.capture")) {}

  void addOutput(SerialQueue queue, std::function<void(const CaptureSample&)> sink) override {
    std::lock_guard guard(lock);
    outputQueue.emplace(std::move(queue));
    output = std::move(sink);
  }
  void start(CaptureCompletion done) override { finish("start", startError, std::move(done)); }
  void stop(CaptureCompletion done) override { finish("stop", stopError, std::move(done)); }
  void updateConfiguration(const StreamConfiguration& next, CaptureCompletion done) override {
    {
      std::lock_guard guard(lock);
      configuration = next;
    }
    finish("updateConfiguration", updateError, std::move(done));
  }
  void updateFilter(const ContentFilter& next, CaptureCompletion done) override {
    {
      std::lock_guard guard(lock);
      filter = next;
    }
    finish("updateFilter", {}, std::move(done));
  }

  // Hands a sample to the output, on its queue; false without an output.
  bool emit(const CaptureSample& sample) {
    std::lock_guard guard(lock);
    if (!outputQueue || !output) return false;
    outputQueue->async([out = output, sample] { out(sample); });
    return true;
  }
  void failWith(std::error_code error) {
    if (onStoppedWithError) onStoppedWithError(error);
  }
  std::vector<std::string> calls() {
    std::lock_guard guard(lock);
    return recorded;
  }

  std::mutex lock;
  ContentFilter filter;
  StreamConfiguration configuration;
  std::optional<SerialQueue> outputQueue;
  std::function<void(const CaptureSample&)> output;
  std::error_code startError;
  std::error_code stopError;
  std::error_code updateError;

 private:
  void finish(const std::string& call, std::error_code error, CaptureCompletion done) {
    {
      std::lock_guard guard(lock);
      recorded.push_back(call);
    }
    if (done) completions_->post([done = std::move(done), error] { done(error); });
  }
  std::vector<std::string> recorded;
  std::shared_ptr<Executor> completions_;
};

// A capture service over content the test sets; it remembers every stream it made.
class FakeCaptureService final : public ScreenCaptureService {
 public:
  bool available = true;
  bool permitted = true;
  std::optional<ShareableContent> content = ShareableContent{};
  // Written on whichever thread makes a stream: tests that look while the host may still be
  // making them use the locked copy.
  std::vector<std::shared_ptr<FakeCaptureStream>> streams;
  std::vector<std::shared_ptr<FakeCaptureStream>> madeStreams() const {
    std::lock_guard guard(streamsLock_);
    return streams;
  }
  std::shared_ptr<Executor> streamCompletions;  // for the streams it makes; null: real queues
  std::error_code startError;                   // given to the streams it makes
  double pointPixelScale = 1;                   // what its filters report

  bool isAvailable() const override { return available; }
  bool preflightPermission() const override { return permitted; }
  void shareableContent(
      std::function<void(std::optional<ShareableContent>, std::error_code)> done) override {
    if (content) {
      done(content, {});
    } else {
      done(std::nullopt, std::make_error_code(std::errc::not_supported));
    }
  }
  std::optional<ContentFilter> displayFilter(std::uint32_t displayID,
                                             std::vector<std::int32_t> excluded) override {
    if (!content) return std::nullopt;
    for (const auto& display : content->displays) {
      if (display.displayID == displayID)
        return ContentFilter{DisplayContent{displayID, std::move(excluded)}, pointPixelScale,
                             display.frame};
    }
    return std::nullopt;
  }
  std::optional<ContentFilter> windowFilter(std::uint32_t windowID) override {
    if (!content) return std::nullopt;
    for (const auto& window : content->windows) {
      if (window.windowID == windowID)
        return ContentFilter{WindowContent{windowID}, pointPixelScale, window.frame};
    }
    return std::nullopt;
  }
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) override {
    auto stream = std::make_shared<FakeCaptureStream>(filter, configuration, streamCompletions);
    stream->startError = startError;
    std::lock_guard guard(streamsLock_);
    streams.push_back(stream);
    return stream;
  }

 private:
  mutable std::mutex streamsLock_;
};

}  // namespace tavelin::testing
