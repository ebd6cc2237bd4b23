#pragma once

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"

namespace tavelin::x11 {

class Connection;
class SharedSegment;

// One stream of an X11CaptureService: its own connection, and a thread that grabs the picture
// when DAMAGE (or the cursor) says it changed and a phone can take it, at most at the frame
// rate, into a small pool of shared segments the samples hold on to.
class X11CaptureStream final : public CaptureStream,
                               public std::enable_shared_from_this<X11CaptureStream> {
 public:
  X11CaptureStream(std::string display, ContentFilter filter, StreamConfiguration configuration)
      : display_(std::move(display)), filter_(std::move(filter)), configuration_(configuration) {}
  ~X11CaptureStream() override;

  void addOutput(SerialQueue queue, std::function<void(const CaptureSample&)> output) override;
  void start(CaptureCompletion done) override;
  void stop(CaptureCompletion done) override;
  void updateConfiguration(const StreamConfiguration& configuration,
                           CaptureCompletion done) override;
  void updateFilter(const ContentFilter& filter, CaptureCompletion done) override;
  void setDemand(std::function<PictureDue()> wanted) override;
  void pictureWanted(bool refresh) override;

 private:
  void complete(CaptureCompletion done, std::error_code error);
  std::error_code setUp();
  void nameWindowPixmap();
  void halt();

  // The area to grab now, in the drawable's coordinates, and where it lies on the root.
  struct Grab {
    xcb_drawable_t drawable;
    int x, y, width, height;
    double rootX, rootY;
  };
  std::optional<Grab> grabArea();
  void run();

  // Whether a cursor at this root position could show in the picture (cursors reach at most
  // 64 pixels from their hot spot in practice).
  bool nearCapture(const std::pair<int, int>& position);
  bool touchesCapture(const xcb_rectangle_t& area);
  std::optional<CaptureSample> grab(const std::optional<std::pair<int, int>>& pointer);

  // A segment of at least `bytes` that no sample uses any more; a new one when all are taken.
  // Samples beyond the queue depth are dropped, so the pool stays at a handful of segments.
  std::shared_ptr<SharedSegment> freeSegment(std::size_t bytes);

  void deliver(CaptureSample sample);
  void stoppedWithError(std::error_code error);

  const std::string display_;
  std::mutex lock_;
  ContentFilter filter_;               // guarded by lock_
  StreamConfiguration configuration_;  // guarded by lock_
  std::optional<SerialQueue> outputQueue_;
  std::function<void(const CaptureSample&)> output_;
  std::function<PictureDue()> wanted_;  // set before start, then only read
  const SerialQueue completions_{"tavelin.capture.x11"};

  // Touched only by the capture thread once it runs.
  std::shared_ptr<Connection> x_;
  xcb_window_t window_ = 0;
  xcb_pixmap_t pixmap_ = 0;
  ScreenRect windowArea_;
  xcb_damage_damage_t damage_ = 0;
  static constexpr std::size_t maxSegments = 6;
  std::vector<std::shared_ptr<SharedSegment>> segments_;  // the pool; capture thread only

  int wake_ = -1;                    // an eventfd: a phone can take a picture now
  std::atomic<bool> refresh_{true};  // the first picture is taken whatever changed
  std::atomic<bool> running_{false};
  std::atomic<int> waiting_{0};
  std::thread thread_;
};

}  // namespace tavelin::x11
