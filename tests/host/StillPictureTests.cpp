// One still picture through the capture port: what ends the capture (the first picture of a
// display, the newest after a window's settling time, an error, the timeout) and that the
// stream is stopped whatever the outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "TavelinHost/Capture/StillPicture.hpp"
#include "tests/support/CaptureRecorder.hpp"
#include "tests/support/FakeCaptureService.hpp"
#include "tests/support/LoopbackClient.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

// "The main thread" that runs work at once, on whichever queue posts it.
class InlineExecutor final : public Executor {
 public:
  void post(std::function<void()> work) override { work(); }
};

struct Outcome {
  std::promise<StillPicture::Result> promise;
  std::future<StillPicture::Result> future = promise.get_future();
  std::function<void(StillPicture::Result)> done() {
    return [this](StillPicture::Result result) { promise.set_value(std::move(result)); };
  }
  // Waits for the answer; a capture that never answers fails the test instead of hanging it.
  std::optional<StillPicture::Result> get() {
    if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
    return future.get();
  }
};

bool wasStopped(testing::FakeCaptureStream& stream) {
  return testing::eventually([&] {
    const auto calls = stream.calls();
    return std::find(calls.begin(), calls.end(), "stop") != calls.end();
  });
}

class StillPictureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service->content->displays = {{3, {-640, 0, 640, 360}}};
    service->content->windows = {{0x42, "Notes", {10, 10, 300, 200}, 0, true, {}}};
  }
  std::shared_ptr<testing::FakeCaptureService> service =
      std::make_shared<testing::FakeCaptureService>();
  std::shared_ptr<Executor> main = std::make_shared<InlineExecutor>();
};

TEST_F(StillPictureTest, ADisplayStillIsItsFirstPictureAtFullPixelSize) {
  service->pointPixelScale = 2;
  Outcome outcome;
  StillPicture::captureDisplay(service, 3, {77}, main, outcome.done());
  ASSERT_EQ(service->streams.size(), 1u);
  auto& stream = *service->streams[0];
  EXPECT_EQ(stream.configuration.width, 1280);
  EXPECT_EQ(stream.configuration.height, 720);
  EXPECT_FALSE(stream.configuration.showsCursor);
  EXPECT_EQ(std::get<DisplayContent>(stream.filter.content).excludedProcessIDs,
            std::vector<std::int32_t>{77});
  ASSERT_TRUE(stream.emit(testing::solidSample(1280, 720)));
  stream.emit(testing::solidSample(64, 64));  // too late to count
  const auto result = outcome.get();
  ASSERT_TRUE(result);
  ASSERT_TRUE(result->image);
  EXPECT_EQ(result->image->size, (PixelSize{1280, 720}));
  EXPECT_EQ(result->problem, StillPicture::Problem::none);
  EXPECT_TRUE(wasStopped(stream));
}

TEST_F(StillPictureTest, AWindowStillIsTheNewestPictureOfItsSettlingTime) {
  Outcome outcome;
  StillPicture::captureWindow(service, 0x42, main, outcome.done());
  ASSERT_EQ(service->streams.size(), 1u);
  auto& stream = *service->streams[0];
  ASSERT_TRUE(stream.emit(testing::solidSample(300, 200)));
  ASSERT_TRUE(stream.emit(testing::solidSample(310, 210)));  // the window repainted
  const auto result = outcome.get();
  ASSERT_TRUE(result && result->image);
  EXPECT_EQ(result->image->size, (PixelSize{310, 210}));
  EXPECT_TRUE(wasStopped(stream));
}

// Refusals before a stream runs are read through the window's sheet; these come from a stream.
TEST_F(StillPictureTest, AStreamThatEndsOrStaysSilentGivesNoPictureAndSaysWhy) {
  Outcome ended;
  StillPicture::captureDisplay(service, 3, {}, main, ended.done());
  service->streams.back()->failWith(std::make_error_code(std::errc::io_error));
  auto result = ended.get();
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->image);
  EXPECT_EQ(result->problem, StillPicture::Problem::streamFailed);
  EXPECT_EQ(result->error, std::make_error_code(std::errc::io_error));

  Outcome silent;
  StillPicture::captureDisplay(service, 3, {}, main, silent.done(), 30ms);
  result = silent.get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->problem, StillPicture::Problem::timedOut);
  EXPECT_TRUE(wasStopped(*service->streams.back()));
}

}  // namespace
}  // namespace tavelin
