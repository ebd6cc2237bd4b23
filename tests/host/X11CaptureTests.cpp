// The X11 capture service on a private Xvfb: pictures of root rectangles and of single windows
// (also covered and half off-screen), nothing for a static screen, a new size after a resize,
// and a stream that stops when its window closes.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

#include "TavelinHost/Platform/X11/X11CaptureService.hpp"
#include "TavelinHost/Platform/X11/X11Desktop.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/XvfbDesktop.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF;

// Samples as they arrive, for the test to wait on.
class SampleLog {
 public:
  void add(const CaptureSample& sample) {
    std::lock_guard guard(lock_);
    samples_.push_back(sample);
    changed_.notify_all();
  }
  // The sample after `count` samples, within `limit`.
  std::optional<CaptureSample> next(std::size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock guard(lock_);
    if (!changed_.wait_for(guard, limit, [&] { return samples_.size() > count; }))
      return std::nullopt;
    return samples_[count];
  }
  std::size_t size() {
    std::lock_guard guard(lock_);
    return samples_.size();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<CaptureSample> samples_;
};

// The colour at the centre of a sample, as 0xRRGGBB.
std::uint32_t centre(const CaptureSample& sample) {
  const auto& p = *sample.pixels;
  const std::size_t at =
      static_cast<std::size_t>(p.height / 2) * static_cast<std::size_t>(p.stride) +
      static_cast<std::size_t>(p.width / 2) * 4;
  const std::uint8_t* b = p.data.get();
  return static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         b[at];
}

class X11CaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = new testing::XvfbDesktop("1920x1080", /*windowManager=*/false);
  }
  static void TearDownTestSuite() { delete desktop; }

  void SetUp() override {
    client = x11::Connection::open(desktop->display());
    ASSERT_TRUE(client);
    ASSERT_TRUE(service.isAvailable());
  }
  void TearDown() override {
    for (auto& stream : streams) stream->stop({});
  }

  // A plain window of one colour that no window manager moves.
  xcb_window_t paint(int x, int y, int width, int height, std::uint32_t colour) {
    const xcb_window_t window = xcb_generate_id(client->get());
    const std::uint32_t values[] = {colour, 1};
    xcb_create_window(client->get(), XCB_COPY_FROM_PARENT, window, client->root(),
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, client->screen().root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(client->get(), window);
    client->sync();
    return window;
  }
  void recolour(xcb_window_t window, std::uint32_t colour) {
    xcb_change_window_attributes(client->get(), window, XCB_CW_BACK_PIXEL, &colour);
    xcb_clear_area(client->get(), 1, window, 0, 0, 0, 0);
    client->sync();
  }
  void configure(xcb_window_t window, std::uint16_t mask, std::vector<std::uint32_t> values) {
    xcb_configure_window(client->get(), window, mask, values.data());
    client->sync();
  }

  std::shared_ptr<CaptureStream> open(const ContentFilter& filter,
                                      StreamConfiguration configuration,
                                      std::function<PictureDue()> demand = {}) {
    configuration.showsCursor = false;  // the pointer stays still; keep pictures exact
    auto stream = service.makeStream(filter, configuration);
    if (demand) stream->setDemand(std::move(demand));
    stream->addOutput(SerialQueue("tavelin.capture.frames"),
                      [this](const CaptureSample& s) { samples.add(s); });
    std::promise<std::error_code> started;
    stream->start([&](std::error_code error) { started.set_value(error); });
    EXPECT_FALSE(started.get_future().get());
    streams.push_back(stream);
    return stream;
  }

  static testing::XvfbDesktop* desktop;
  std::shared_ptr<x11::Connection> client;
  x11::X11CaptureService service{desktop->display()};
  SampleLog samples;
  std::vector<std::shared_ptr<CaptureStream>> streams;
};

testing::XvfbDesktop* X11CaptureTest::desktop = nullptr;

TEST_F(X11CaptureTest, ScreenRegionsShowWhatIsDrawnAndCostNothingWhileStatic) {
  const auto window = paint(100, 100, 200, 150, red);
  const auto displayID = x11::X11WindowServer(client).displays().front().displayID;
  const auto filter = service.displayFilter(displayID, {});
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->contentRect, (ScreenRect{0, 0, 1920, 1080}));
  StreamConfiguration configuration;
  configuration.sourceRect = ScreenRect{100, 100, 200, 150};
  open(*filter, configuration);

  const auto first = samples.next(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, FrameStatus::complete);
  EXPECT_EQ(first->pixels->width, 200);
  EXPECT_EQ(first->pixels->height, 150);
  EXPECT_EQ(first->pixels->stride, 800);
  EXPECT_EQ(centre(*first), red);

  // Nothing changes: no pictures at all. A change elsewhere on the screen does not count.
  const std::size_t settled = samples.size();
  paint(1500, 900, 50, 50, blue);
  EXPECT_FALSE(samples.next(settled, 1s));

  recolour(window, green);
  const auto changed = samples.next(settled);
  ASSERT_TRUE(changed);
  EXPECT_EQ(centre(*changed), green);
}

TEST_F(X11CaptureTest, AChangeWaitsUntilAPhoneWantsItAndARefreshShowsAStillScreen) {
  const auto window = paint(400, 300, 120, 80, red);
  const auto displayID = x11::X11WindowServer(client).displays().front().displayID;
  const auto filter = service.displayFilter(displayID, {});
  ASSERT_TRUE(filter);
  StreamConfiguration configuration;
  configuration.sourceRect = ScreenRect{400, 300, 120, 80};
  struct Demand {
    std::mutex lock;
    PictureDue due;
  };
  auto demand = std::make_shared<Demand>();
  const auto want = [demand](PictureDue due) {
    std::lock_guard guard(demand->lock);
    demand->due = due;
  };
  const auto stream = open(*filter, configuration, [demand] {
    std::lock_guard guard(demand->lock);
    return demand->due;
  });

  // Every phone still holds a picture: not even the first is made.
  EXPECT_FALSE(samples.next(0, 300ms));
  want(pictureDueNow);
  stream->pictureWanted(false);
  const auto first = samples.next(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(centre(*first), red);

  // A change while nobody can take it is kept, not lost, and taken at the wake-up.
  want(std::nullopt);
  recolour(window, green);
  EXPECT_FALSE(samples.next(1, 300ms));
  want(pictureDueNow);
  stream->pictureWanted(false);
  const auto kept = samples.next(1);
  ASSERT_TRUE(kept);
  EXPECT_EQ(centre(*kept), green);

  // A phone that wants its next picture from a later time on gets the change then, without
  // being woken again.
  const auto later = std::chrono::steady_clock::now() + 400ms;
  want(later);
  stream->pictureWanted(false);
  recolour(window, red);
  const auto timed = samples.next(2);
  ASSERT_TRUE(timed);
  EXPECT_GE(std::chrono::steady_clock::now(), later);
  EXPECT_EQ(centre(*timed), red);

  // A phone that joins a still screen gets its picture without a change.
  want(pictureDueNow);
  stream->pictureWanted(false);
  EXPECT_FALSE(samples.next(3, 300ms));
  stream->pictureWanted(true);
  const auto refreshed = samples.next(3);
  ASSERT_TRUE(refreshed);
  EXPECT_EQ(centre(*refreshed), red);
}

TEST_F(X11CaptureTest, AWindowIsCapturedWhileCoveredMovedOffScreenAndResized) {
  const auto target = paint(300, 300, 200, 200, red);
  paint(250, 250, 300, 300, green);  // covers it entirely
  const auto filter = service.windowFilter(target);
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->contentRect, (ScreenRect{300, 300, 200, 200}));
  open(*filter, {});
  recolour(target, red);  // what a real application does when redirection exposes it
  auto sample = samples.next(0);
  ASSERT_TRUE(sample);
  EXPECT_EQ(centre(*sample), red);
  EXPECT_EQ(sample->pixels->width, 200);

  // Half off the left edge of the screen, and painted anew there.
  configure(target, XCB_CONFIG_WINDOW_X, {static_cast<std::uint32_t>(-100)});
  recolour(target, blue);
  bool sawBlue = false;
  for (std::size_t i = 1; i < 10 && !sawBlue; ++i) {
    const auto next = samples.next(i);
    ASSERT_TRUE(next);
    sawBlue = centre(*next) == blue && next->pixels->width == 200;
  }
  EXPECT_TRUE(sawBlue);

  configure(target, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, {300, 250});
  bool resized = false;
  for (std::size_t i = samples.size(); i < samples.size() + 10 && !resized; ++i) {
    const auto next = samples.next(i);
    ASSERT_TRUE(next);
    resized = next->pixels->width == 300 && next->pixels->height == 250;
  }
  EXPECT_TRUE(resized);
}

TEST_F(X11CaptureTest, EveryStreamShowsAStillWindowOnceAtItsStart) {
  const auto target = paint(400, 400, 160, 120, green);
  const auto filter = service.windowFilter(target);
  ASSERT_TRUE(filter);
  open(*filter, {});
  const auto first = samples.next(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(centre(*first), green);
  // A second capture of the window while the first keeps it redirected: redirection exposes
  // nothing, nothing changes, and still its picture comes (a still for the region picker).
  open(*filter, {});
  const auto second = samples.next(1);
  ASSERT_TRUE(second);
  EXPECT_EQ(centre(*second), green);
  EXPECT_FALSE(samples.next(2, 1s));
}

TEST_F(X11CaptureTest, AStreamStopsWithAnErrorWhenItsWindowCloses) {
  const auto target = paint(50, 50, 120, 80, blue);
  const auto filter = service.windowFilter(target);
  ASSERT_TRUE(filter);
  auto stream = service.makeStream(*filter, {});
  std::promise<std::error_code> stopped;
  stream->onStoppedWithError = [&](std::error_code error) { stopped.set_value(error); };
  stream->addOutput(SerialQueue("tavelin.capture.frames"), [](const CaptureSample&) {});
  std::promise<std::error_code> started;
  stream->start([&](std::error_code error) { started.set_value(error); });
  ASSERT_FALSE(started.get_future().get());
  xcb_destroy_window(client->get(), target);
  client->sync();
  auto result = stopped.get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(result.get());
  stream->stop({});

  EXPECT_FALSE(service.windowFilter(target));
  EXPECT_FALSE(x11::X11CaptureService(":9999").isAvailable());  // no such display
}

}  // namespace
}  // namespace tavelin
