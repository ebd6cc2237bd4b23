#include "TavelinHost/Platform/Wayland/WlrootsCapture.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <wayland-client.h>

#include "TavelinHost/Platform/FramePacer.hpp"
#include "TavelinHost/Platform/Wayland/WaylandErrors.hpp"
#include "TavelinHost/Platform/Wayland/WlrootsConnection.hpp"
#include "wlr-screencopy-unstable-v1.h"

namespace tavelin::wayland {

namespace {

// What a frame is taken of: an output and the part of it in its logical pixels.
struct Target {
  wl_output* output = nullptr;
  ScreenRect outputBounds;  // the output in the layout
  ScreenRect part;          // within the output
  bool whole = true;
};

// The output a rectangle of the layout lies on most.
std::optional<WlrootsOutput> outputUnder(const std::vector<WlrootsOutput>& outputs,
                                         const ScreenRect& rect) {
  std::optional<WlrootsOutput> best;
  double bestArea = 0;
  for (const auto& output : outputs) {
    const auto common = output.bounds.intersect(rect);
    const double area = common.width * common.height;
    if (area > bestArea) {
      best = output;
      bestArea = area;
    }
  }
  return best;
}

// Shared memory the compositor copies a frame into, kept while the frames keep their shape.
class ShmBuffer {
 public:
  ~ShmBuffer() { release(); }
  bool fits(std::uint32_t format, int width, int height, int stride) const {
    return buffer_ && format_ == format && width_ == width && height_ == height &&
           stride_ == stride;
  }
  bool make(wl_shm* shm, std::uint32_t format, int width, int height, int stride) {
    release();
    size_ = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    const int fd = ::memfd_create("tavelin-screencopy", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (::ftruncate(fd, static_cast<off_t>(size_)) < 0) {
      ::close(fd);
      return false;
    }
    void* mapped = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
      ::close(fd);
      return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size_));
    buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    data_ = static_cast<std::uint8_t*>(mapped);
    format_ = format;
    width_ = width;
    height_ = height;
    stride_ = stride;
    return true;
  }
  void release() {
    if (buffer_) wl_buffer_destroy(buffer_);
    if (data_) ::munmap(data_, size_);
    buffer_ = nullptr;
    data_ = nullptr;
  }
  wl_buffer* buffer() const { return buffer_; }
  const std::uint8_t* data() const { return data_; }
  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }
  std::uint32_t format() const { return format_; }

 private:
  wl_buffer* buffer_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::uint32_t format_ = 0;
  int width_ = 0, height_ = 0, stride_ = 0;
};

bool isBgraInMemory(std::uint32_t format) {
  return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888;
}
bool isRgbaInMemory(std::uint32_t format) {
  return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888;
}

// A stream's work on the connection's thread: its frames, its shared memory and the samples it
// hands out. It outlives its stream until the connection's thread has let go of its Wayland
// objects: the stream's owner may let go of the stream anywhere, even while holding a lock that
// the connection's thread is waiting for, so nothing waits for that thread on the way out.
class Screencopier final : public std::enable_shared_from_this<Screencopier> {
 public:
  Screencopier(std::shared_ptr<WlrootsConnection> connection, std::shared_ptr<WindowServer> windows,
               ContentFilter filter, StreamConfiguration configuration, HostLogSink log)
      : connection_(std::move(connection)),
        windows_(std::move(windows)),
        log_(std::move(log)),
        filter_(std::move(filter)),
        configuration_(std::move(configuration)) {}

  // Ends the stream's frames and frees its Wayland objects; on the connection's thread.
  void shutdown() {
    running_ = false;
    endFrame();
    buffer_.release();
  }

  void setStopped(std::function<void(std::error_code)> stopped) {
    std::lock_guard guard(lock_);
    stopped_ = std::move(stopped);
  }

  void addOutput(SerialQueue queue, std::function<void(const CaptureSample&)> output) {
    std::lock_guard guard(lock_);
    queue_ = std::move(queue);
    output_ = std::move(output);
  }

  void start(CaptureCompletion done) {
    onThread([done = std::move(done)](Screencopier& self) {
      if (!self.connection_->offersScreencopy() || !self.connection_->alive()) {
        if (done) done(WaylandError::screenCastRefused);
        return;
      }
      self.running_ = true;
      self.fresh_ = true;
      self.request();
      if (done) done({});  // callers that need no answer pass none
    });
  }

  void stop(CaptureCompletion done) {
    onThread([done = std::move(done)](Screencopier& self) {
      self.running_ = false;
      self.endFrame();
      if (done) done({});
    });
  }

  void updateConfiguration(const StreamConfiguration& configuration, CaptureCompletion done) {
    {
      std::lock_guard guard(lock_);
      configuration_ = configuration;
    }
    restartFrame(std::move(done));
  }

  void updateFilter(const ContentFilter& filter, CaptureCompletion done) {
    {
      std::lock_guard guard(lock_);
      filter_ = filter;
    }
    restartFrame(std::move(done));
  }

 private:
  struct Listeners;

  void onThread(std::function<void(Screencopier&)> work,
                WlrootsConnection::Clock::time_point at = {}) {
    connection_->post(
        [weak = weak_from_this(), work = std::move(work)] {
          if (auto self = weak.lock()) work(*self);
        },
        at);
  }

  // Shows the change at once: a copy waiting for damage would wait for the screen to change.
  void restartFrame(CaptureCompletion done) {
    onThread([done = std::move(done)](Screencopier& self) {
      self.fresh_ = true;
      if (self.running_ && self.frame_) {
        self.endFrame();
        self.request();
      }
      if (done) done({});
    });
  }

  // Where the next frame is taken from; nothing when what it shows is gone.
  std::optional<Target> target(std::error_code& error) {
    ContentFilter filter;
    StreamConfiguration configuration;
    {
      std::lock_guard guard(lock_);
      filter = filter_;
      configuration = configuration_;
    }
    const auto outputs = connection_->outputs();
    std::optional<WlrootsOutput> output;
    ScreenRect part;
    if (const auto* display = std::get_if<DisplayContent>(&filter.content)) {
      for (const auto& o : outputs) {
        if (o.displayID == display->displayID) output = o;
      }
      if (!output) {
        error = WaylandError::noSuchMonitor;
        return std::nullopt;
      }
      part = {0, 0, output->bounds.width, output->bounds.height};
    } else {
      const auto& window = std::get<WindowContent>(filter.content);
      const auto live = windows_ ? windows_->window(window.windowID) : std::nullopt;
      if (!live) {
        error = WaylandError::streamEnded;
        return std::nullopt;
      }
      const ScreenRect& area = live->capturedArea();
      output = outputUnder(outputs, area);
      if (!output) {
        error = WaylandError::noSuchMonitor;
        return std::nullopt;
      }
      part = {area.x - output->bounds.x, area.y - output->bounds.y, area.width, area.height};
    }
    if (configuration.sourceRect) {
      const ScreenRect& source = *configuration.sourceRect;
      part = {part.x + source.x, part.y + source.y, source.width, source.height};
    }
    const ScreenRect whole{0, 0, output->bounds.width, output->bounds.height};
    const ScreenRect clipped = whole.intersect(part);
    if (clipped.width < 1 || clipped.height < 1) {
      error = WaylandError::noSuchMonitor;
      return std::nullopt;
    }
    wl_output* handle = connection_->outputNamed(output->name);
    if (!handle) {
      error = WaylandError::noSuchMonitor;
      return std::nullopt;
    }
    return Target{handle, output->bounds, clipped, clipped == whole};
  }

  void request();

  void endFrame() {
    if (frame_) zwlr_screencopy_frame_v1_destroy(frame_);
    frame_ = nullptr;
  }

  // The buffer kinds are all offered: copy into ours.
  void copy() {
    if (!frame_ || copied_) return;
    if (!offered_) return problem("screencopy offered no shared-memory buffer");
    const auto [format, width, height, stride] = *offered_;
    if (!isBgraInMemory(format) && !isRgbaInMemory(format)) {
      return problem("screencopy offered only an unknown pixel format " + std::to_string(format));
    }
    if (!buffer_.fits(format, width, height, stride) &&
        !buffer_.make(connection_->shm(), format, width, height, stride)) {
      return problem("no shared memory for a picture of " + std::to_string(width) + "x" +
                     std::to_string(height));
    }
    copied_ = true;
    // A first picture comes at once; later ones when something changed.
    if (std::exchange(fresh_, false) || connection_->screencopyVersion() < 2) {
      zwlr_screencopy_frame_v1_copy(frame_, buffer_.buffer());
    } else {
      zwlr_screencopy_frame_v1_copy_with_damage(frame_, buffer_.buffer());
    }
  }

  void ready() {
    endFrame();
    deliver();
    std::chrono::microseconds interval;
    {
      std::lock_guard guard(lock_);
      interval = std::max(configuration_.minimumFrameInterval, std::chrono::microseconds(0));
    }
    // The next copy is asked for when the rate allows; one with damage then waits for a
    // change, so a picture comes as soon as the change after its turn.
    const auto now = WlrootsConnection::Clock::now();
    const auto step = std::chrono::duration_cast<FramePacer::Clock::duration>(interval);
    pacer_.took(now, step);
    onThread([](Screencopier& self) { self.request(); }, std::max(now, pacer_.nextTurn(step)));
  }

  void failed() {
    endFrame();
    // An output that went away ends the stream; anything else is tried again shortly.
    std::error_code error;
    if (!target(error)) return ended(error);
    problem("the compositor could not copy a picture; trying again");
  }

  void deliver() {
    std::optional<SerialQueue> queue;
    std::function<void(const CaptureSample&)> output;
    int depth = 1;
    {
      std::lock_guard guard(lock_);
      queue = queue_;
      output = output_;
      depth = std::max(1, configuration_.queueDepth);
    }
    if (!queue || !output || waiting_.load() >= depth) return;
    const int width = buffer_.width(), height = buffer_.height();
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    auto pixels = lend(rowBytes * static_cast<std::size_t>(height));
    const bool swap = isRgbaInMemory(buffer_.format());
    for (int row = 0; row < height; ++row) {
      const int from = yInverted_ ? height - 1 - row : row;
      const std::uint8_t* in = buffer_.data() + static_cast<std::size_t>(from) * buffer_.stride();
      std::uint8_t* out = pixels->data() + static_cast<std::size_t>(row) * rowBytes;
      if (!swap) {
        std::memcpy(out, in, rowBytes);
        continue;
      }
      for (int x = 0; x < width; ++x) {
        out[4 * x] = in[4 * x + 2];
        out[4 * x + 1] = in[4 * x + 1];
        out[4 * x + 2] = in[4 * x];
        out[4 * x + 3] = in[4 * x + 3];
      }
    }
    CaptureSample sample;
    sample.isValid = true;
    sample.status = FrameStatus::complete;
    sample.scaleFactor = logicalWidth_ > 0 ? width / logicalWidth_ : 1;
    sample.contentRect = {0, 0, width / sample.scaleFactor, height / sample.scaleFactor};
    sample.pixels = PixelBuffer::of(width, height, static_cast<int>(rowBytes), std::move(pixels));
    ++waiting_;
    queue->async([self = shared_from_this(), output, sample = std::move(sample)] {
      output(sample);
      --self->waiting_;
    });
  }

  // Picture memory the engine gives back by letting go of its samples.
  std::shared_ptr<std::vector<std::uint8_t>> lend(std::size_t bytes) {
    for (auto& kept : pool_) {
      if (kept.use_count() == 1 && kept->size() == bytes) return kept;
    }
    auto fresh = std::make_shared<std::vector<std::uint8_t>>(bytes);
    std::erase_if(pool_, [&](const auto& kept) { return kept->size() != bytes; });
    if (pool_.size() < 4) pool_.push_back(fresh);
    return fresh;
  }

  void ended(std::error_code error) {
    running_ = false;
    endFrame();
    std::function<void(std::error_code)> stopped;
    {
      std::lock_guard guard(lock_);
      stopped = stopped_;
    }
    if (stopped) stopped(error);
  }

  // Logged once a stream; the next picture is tried a second later.
  void problem(const std::string& message) {
    endFrame();
    if (log_ && logged_.insert(message).second) log_("Capture", "Screencopy: " + message);
    fresh_ = true;
    onThread([](Screencopier& self) { self.request(); },
             WlrootsConnection::Clock::now() + std::chrono::seconds(1));
  }

  const std::shared_ptr<WlrootsConnection> connection_;
  const std::shared_ptr<WindowServer> windows_;
  const HostLogSink log_;

  std::mutex lock_;
  ContentFilter filter_;                              // guarded by lock_
  StreamConfiguration configuration_;                 // guarded by lock_
  std::optional<SerialQueue> queue_;                  // guarded by lock_
  std::function<void(const CaptureSample&)> output_;  // guarded by lock_
  std::function<void(std::error_code)> stopped_;      // guarded by lock_
  std::atomic<int> waiting_{0};

  // On the connection's thread.
  bool running_ = false;
  bool fresh_ = true;  // the next copy is taken at once
  FramePacer pacer_;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  struct Offer {
    std::uint32_t format;
    int width, height, stride;
  };
  std::optional<Offer> offered_;
  bool copied_ = false;
  bool yInverted_ = false;
  double logicalWidth_ = 0;
  ShmBuffer buffer_;
  std::vector<std::shared_ptr<std::vector<std::uint8_t>>> pool_;
  std::set<std::string> logged_;
};

struct Screencopier::Listeners {
  static Screencopier& of(void* data) { return *static_cast<Screencopier*>(data); }
  static void buffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                     std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
    auto& self = of(data);
    // The first shared-memory kind in a format we read wins.
    if (self.offered_ && isBgraInMemory(self.offered_->format)) return;
    self.offered_ =
        Offer{format, static_cast<int>(width), static_cast<int>(height), static_cast<int>(stride)};
    if (self.connection_->screencopyVersion() < 3) self.copy();  // no buffer_done before 3
  }
  static void flags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
    of(data).yInverted_ = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
  }
  static void ready(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                    std::uint32_t) {
    of(data).ready();
  }
  static void failed(void* data, zwlr_screencopy_frame_v1*) { of(data).failed(); }
  static void damage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t,
                     std::uint32_t) {}
  static void linuxDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                          std::uint32_t) {}
  static void bufferDone(void* data, zwlr_screencopy_frame_v1*) { of(data).copy(); }
};

void Screencopier::request() {
  if (!running_ || frame_) return;
  std::error_code error;
  const auto where = target(error);
  if (!where) return ended(error);
  bool cursor = true;
  {
    std::lock_guard guard(lock_);
    cursor = configuration_.showsCursor;
  }
  auto* manager = connection_->screencopy();
  const int overlay = cursor ? 1 : 0;
  if (where->whole) {
    frame_ = zwlr_screencopy_manager_v1_capture_output(manager, overlay, where->output);
  } else {
    frame_ = zwlr_screencopy_manager_v1_capture_output_region(
        manager, overlay, where->output, static_cast<std::int32_t>(std::lround(where->part.x)),
        static_cast<std::int32_t>(std::lround(where->part.y)),
        static_cast<std::int32_t>(std::lround(where->part.width)),
        static_cast<std::int32_t>(std::lround(where->part.height)));
  }
  logicalWidth_ = where->part.width;
  offered_.reset();
  copied_ = false;
  yInverted_ = false;
  static const zwlr_screencopy_frame_v1_listener listener{
      Listeners::buffer, Listeners::flags,       Listeners::ready,     Listeners::failed,
      Listeners::damage, Listeners::linuxDmabuf, Listeners::bufferDone};
  zwlr_screencopy_frame_v1_add_listener(frame_, &listener, this);
}

// The engine's side of a screencopy stream: everything goes to the connection's thread.
class ScreencopyStream final : public CaptureStream {
 public:
  ScreencopyStream(std::shared_ptr<WlrootsConnection> connection,
                   std::shared_ptr<WindowServer> windows, const ContentFilter& filter,
                   const StreamConfiguration& configuration, HostLogSink log)
      : connection_(connection),
        copier_(std::make_shared<Screencopier>(std::move(connection), std::move(windows), filter,
                                               configuration, std::move(log))) {}
  ~ScreencopyStream() override {
    connection_->post([copier = copier_] { copier->shutdown(); });
  }

  void addOutput(SerialQueue queue, std::function<void(const CaptureSample&)> output) override {
    copier_->addOutput(std::move(queue), std::move(output));
  }
  void start(CaptureCompletion done) override {
    copier_->setStopped(onStoppedWithError);
    copier_->start(std::move(done));
  }
  void stop(CaptureCompletion done) override { copier_->stop(std::move(done)); }
  void updateConfiguration(const StreamConfiguration& configuration,
                           CaptureCompletion done) override {
    copier_->updateConfiguration(configuration, std::move(done));
  }
  void updateFilter(const ContentFilter& filter, CaptureCompletion done) override {
    copier_->updateFilter(filter, std::move(done));
  }

 private:
  const std::shared_ptr<WlrootsConnection> connection_;
  const std::shared_ptr<Screencopier> copier_;
};

}  // namespace

bool WlrootsCaptureService::isAvailable() const {
  return connection_->offersScreencopy() && connection_->alive();
}

void WlrootsCaptureService::shareableContent(
    std::function<void(std::optional<ShareableContent>, std::error_code)> done) {
  ShareableContent content;
  for (const auto& output : connection_->outputs()) {
    content.displays.push_back({output.displayID, output.bounds});
  }
  std::set<std::int32_t> seen;
  for (const auto& window : windows_ ? windows_->onScreenWindows() : std::vector<LiveWindow>{}) {
    const ShareableApplication owner{window.ownerName, window.ownerName, window.ownerProcessID};
    content.windows.push_back(
        {window.windowID, window.name, window.bounds, window.layer, window.isOnScreen, owner});
    if (seen.insert(window.ownerProcessID).second) content.applications.push_back(owner);
  }
  done(std::move(content), {});
}

std::optional<ContentFilter> WlrootsCaptureService::displayFilter(
    std::uint32_t displayID, std::vector<std::int32_t> excludedProcessIDs) {
  for (const auto& output : connection_->outputs()) {
    if (output.displayID == displayID) {
      return ContentFilter{DisplayContent{displayID, std::move(excludedProcessIDs)},
                           static_cast<double>(output.scale), output.bounds};
    }
  }
  return std::nullopt;
}

std::optional<ContentFilter> WlrootsCaptureService::windowFilter(std::uint32_t windowID) {
  const auto window = windows_ ? windows_->window(windowID) : std::nullopt;
  if (!window) return std::nullopt;
  const auto output = outputUnder(connection_->outputs(), window->capturedArea());
  return ContentFilter{WindowContent{windowID}, output ? static_cast<double>(output->scale) : 1,
                       window->capturedArea()};
}

std::shared_ptr<CaptureStream> WlrootsCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration) {
  return std::make_shared<ScreencopyStream>(connection_, windows_, filter, configuration, log_);
}

}  // namespace tavelin::wayland
