#include "TavelinHost/Platform/X11/X11CaptureService.hpp"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "TavelinHost/Platform/X11/X11Desktop.hpp"

namespace tavelin::x11 {

namespace {

bool hasExtension(xcb_connection_t* c, xcb_extension_t* extension) {
  const auto* data = xcb_get_extension_data(c, extension);
  return data != nullptr && data->present;
}

// Extensions must be told which version we speak before anything else.
bool initialiseExtensions(xcb_connection_t* c) {
  if (!hasExtension(c, &xcb_shm_id) || !hasExtension(c, &xcb_composite_id) ||
      !hasExtension(c, &xcb_damage_id) || !hasExtension(c, &xcb_xfixes_id)) {
    return false;
  }
  auto xfixes = own(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 6, 0), nullptr));
  auto damage = own(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  auto composite =
      own(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
  auto shm = own(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  return xfixes && damage && composite && shm;
}

std::error_code captureError(std::errc code) { return std::make_error_code(code); }

// A client window's area in root coordinates (inside its border, without the frame).
std::optional<ScreenRect> clientArea(xcb_connection_t* c, xcb_window_t root, xcb_window_t window) {
  auto geometry = own(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
  auto origin = own(xcb_translate_coordinates_reply(
      c, xcb_translate_coordinates(c, window, root, 0, 0), nullptr));
  if (!geometry || !origin) return std::nullopt;
  return ScreenRect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                    static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
}

// An MIT-SHM segment the server writes pictures into; private to us and removed at once, so it
// disappears with the process whatever happens.
// It keeps the connection alive: the last sample using it may be released on any thread
// after the stream is gone.
class SharedSegment {
 public:
  SharedSegment(std::shared_ptr<Connection> x, std::size_t size) : x_(std::move(x)) {
    xcb_connection_t* c = x_->get();
    id_ = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id_ < 0) return;
    void* address = ::shmat(id_, nullptr, 0);
    ::shmctl(id_, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) return;
    data_ = static_cast<std::uint8_t*>(address);
    segment_ = xcb_generate_id(c);
    auto error = own(xcb_request_check(
        c, xcb_shm_attach_checked(c, segment_, static_cast<std::uint32_t>(id_), 0)));
    if (error) {
      ::shmdt(data_);
      data_ = nullptr;
      return;
    }
    size_ = size;
  }
  ~SharedSegment() {
    if (!data_) return;
    xcb_shm_detach(x_->get(), segment_);
    xcb_flush(x_->get());
    ::shmdt(data_);
  }
  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;

  bool valid() const { return data_ != nullptr; }
  std::size_t size() const { return size_; }
  xcb_shm_seg_t id() const { return segment_; }
  std::uint8_t* data() const { return data_; }

 private:
  std::shared_ptr<Connection> x_;
  int id_ = -1;
  xcb_shm_seg_t segment_ = 0;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Draws the premultiplied ARGB cursor over BGRX pixels: d = s + d·(255 − a)/255.
void drawCursor(std::uint8_t* pixels, int width, int height, int left, int top,
                const xcb_xfixes_get_cursor_image_reply_t& cursor) {
  const std::uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
  for (int row = 0; row < cursor.height; ++row) {
    const int y = top + row;
    if (y < 0 || y >= height) continue;
    for (int column = 0; column < cursor.width; ++column) {
      const int x = left + column;
      if (x < 0 || x >= width) continue;
      const std::uint32_t s = image[row * cursor.width + column];
      const std::uint32_t alpha = s >> 24;
      if (alpha == 0) continue;
      std::uint8_t* d = pixels + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                  static_cast<std::size_t>(x)) *
                                     4;
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint32_t source = s >> (8 * channel) & 0xFF;
        d[channel] = static_cast<std::uint8_t>(
            std::min<std::uint32_t>(255, source + d[channel] * (255 - alpha) / 255));
      }
    }
  }
}

class X11CaptureStream final : public CaptureStream,
                               public std::enable_shared_from_this<X11CaptureStream> {
 public:
  X11CaptureStream(std::string display, ContentFilter filter, StreamConfiguration configuration)
      : display_(std::move(display)), filter_(std::move(filter)), configuration_(configuration) {}
  ~X11CaptureStream() override { halt(); }

  void addOutput(SerialQueue queue, std::function<void(const CaptureSample&)> output) override {
    std::lock_guard guard(lock_);
    outputQueue_.emplace(std::move(queue));
    output_ = std::move(output);
  }

  void start(CaptureCompletion done) override {
    std::error_code error;
    if (!thread_.joinable()) {
      error = setUp();
      if (!error) {
        running_ = true;
        thread_ = std::thread([self = shared_from_this()] { self->run(); });
      }
    }
    complete(std::move(done), error);
  }

  void stop(CaptureCompletion done) override {
    halt();
    complete(std::move(done), {});
  }

  void updateConfiguration(const StreamConfiguration& configuration,
                           CaptureCompletion done) override {
    {
      std::lock_guard guard(lock_);
      configuration_ = configuration;
    }
    complete(std::move(done), {});
  }

  void updateFilter(const ContentFilter& filter, CaptureCompletion done) override {
    const bool sameKind = filter.content.index() == filter_.content.index();
    if (sameKind && std::holds_alternative<DisplayContent>(filter.content)) {
      std::lock_guard guard(lock_);
      filter_ = filter;
      complete(std::move(done), {});
      return;
    }
    complete(std::move(done), captureError(std::errc::operation_not_supported));
  }

 private:
  void complete(CaptureCompletion done, std::error_code error) {
    if (done) completions_.async([done = std::move(done), error] { done(error); });
  }

  std::error_code setUp() {
    x_ = Connection::open(display_);
    if (!x_ || !initialiseExtensions(x_->get())) return captureError(std::errc::not_supported);
    xcb_connection_t* c = x_->get();
    if (const auto* window = std::get_if<WindowContent>(&filter_.content)) {
      window_ = window->windowID;
      // Automatic redirection keeps the window's pixels in its own pixmap, also while covered
      // or off-screen; several clients may hold it at once.
      auto error = own(xcb_request_check(
          c, xcb_composite_redirect_window_checked(c, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
      if (error) return captureError(std::errc::no_such_process);
      const std::uint32_t events[] = {XCB_EVENT_MASK_STRUCTURE_NOTIFY};
      xcb_change_window_attributes(c, window_, XCB_CW_EVENT_MASK, events);
      damage_ = xcb_generate_id(c);
      xcb_damage_create(c, damage_, window_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
      nameWindowPixmap();
    } else {
      damage_ = xcb_generate_id(c);
      xcb_damage_create(c, damage_, x_->root(), XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
    }
    xcb_flush(c);
    return {};
  }

  void nameWindowPixmap() {
    xcb_connection_t* c = x_->get();
    if (pixmap_ != 0) xcb_free_pixmap(c, pixmap_);
    pixmap_ = 0;
    const auto area = clientArea(c, x_->root(), window_);
    if (!area) return;
    windowArea_ = *area;
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    // Fails while the window is unmapped (minimised): then there is nothing to capture.
    auto error =
        own(xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, window_, pixmap)));
    if (!error) pixmap_ = pixmap;
  }

  void halt() {
    running_ = false;
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    if (thread_.joinable()) thread_.detach();
  }

  // The area to grab now, in the drawable's coordinates, and where it lies on the root.
  struct Grab {
    xcb_drawable_t drawable;
    int x, y, width, height;
    double rootX, rootY;
  };

  std::optional<Grab> grabArea() {
    StreamConfiguration configuration;
    ContentFilter filter;
    {
      std::lock_guard guard(lock_);
      configuration = configuration_;
      filter = filter_;
    }
    if (window_ != 0) {
      if (pixmap_ == 0) return std::nullopt;
      ScreenRect area{0, 0, windowArea_.width, windowArea_.height};
      if (configuration.sourceRect) area = area.intersect(*configuration.sourceRect);
      if (area.isEmpty()) return std::nullopt;
      return Grab{pixmap_,
                  static_cast<int>(area.x),
                  static_cast<int>(area.y),
                  static_cast<int>(area.width),
                  static_cast<int>(area.height),
                  windowArea_.x + area.x,
                  windowArea_.y + area.y};
    }
    const auto& screen = x_->screen();
    ScreenRect area = filter.contentRect;
    if (configuration.sourceRect) {
      area = ScreenRect{area.x + configuration.sourceRect->x, area.y + configuration.sourceRect->y,
                        configuration.sourceRect->width, configuration.sourceRect->height}
                 .intersect(filter.contentRect);
    }
    // The server refuses rectangles reaching outside the root.
    area = area.intersect({0, 0, static_cast<double>(screen.width_in_pixels),
                           static_cast<double>(screen.height_in_pixels)});
    if (area.isEmpty()) return std::nullopt;
    return Grab{x_->root(),
                static_cast<int>(area.x),
                static_cast<int>(area.y),
                static_cast<int>(area.width),
                static_cast<int>(area.height),
                area.x,
                area.y};
  }

  void run() {
    xcb_connection_t* c = x_->get();
    const int fd = xcb_get_file_descriptor(c);
    const std::uint8_t damageEvent =
        xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    bool dirty = false;
    std::optional<std::pair<int, int>> lastPointer;
    // Right after redirection a window's pixmap may still be black or hold what covered it,
    // until the application has repainted what redirection exposed: give it a moment.
    auto nextFrame = std::chrono::steady_clock::now() +
                     (window_ != 0 ? std::chrono::milliseconds(100) : std::chrono::milliseconds(0));
    while (running_) {
      StreamConfiguration configuration;
      {
        std::lock_guard guard(lock_);
        configuration = configuration_;
      }
      // Sleep until the next event, but while a change waits for its turn no longer than
      // that turn: waking on the next event instead would lose a third of the pictures.
      std::chrono::nanoseconds timeout = std::chrono::milliseconds(15);
      if (dirty) {
        timeout = std::clamp<std::chrono::nanoseconds>(nextFrame - std::chrono::steady_clock::now(),
                                                       std::chrono::nanoseconds(0), timeout);
      }
      const timespec waitFor{0, static_cast<long>(timeout.count())};
      pollfd wait{fd, POLLIN, 0};
      ::ppoll(&wait, 1, &waitFor, nullptr);
      while (auto* event = xcb_poll_for_event(c)) {
        const auto owned = own(event);
        const std::uint8_t type = event->response_type & 0x7F;
        if (type == damageEvent) {
          const auto* damage = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
          dirty = dirty || window_ != 0 || touchesCapture(damage->area);
        } else if (type == XCB_CONFIGURE_NOTIFY || type == XCB_MAP_NOTIFY) {
          nameWindowPixmap();  // a new size or a mapped window: a new pixmap
          dirty = true;
        } else if (type == XCB_DESTROY_NOTIFY) {
          stoppedWithError(captureError(std::errc::no_such_process));
          return;
        }
      }
      if (xcb_connection_has_error(c) != 0) {
        stoppedWithError(captureError(std::errc::connection_aborted));
        return;
      }
      // Pointer motion makes no damage; a moving cursor is a change of its own.
      if (configuration.showsCursor) {
        auto pointer = own(xcb_query_pointer_reply(c, xcb_query_pointer(c, x_->root()), nullptr));
        if (pointer) {
          const std::pair position{static_cast<int>(pointer->root_x),
                                   static_cast<int>(pointer->root_y)};
          if (lastPointer && *lastPointer != position &&
              (nearCapture(*lastPointer) || nearCapture(position))) {
            dirty = true;
          }
          lastPointer = position;
        }
      }
      const auto now = std::chrono::steady_clock::now();
      if (!dirty || now < nextFrame) continue;
      dirty = false;
      xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
      // Keep the cadence: the next turn follows the one due, not the moment it was served.
      nextFrame += configuration.minimumFrameInterval;
      if (nextFrame <= now) nextFrame = now + configuration.minimumFrameInterval;
      if (auto sample = grab(configuration.showsCursor ? lastPointer : std::nullopt))
        deliver(std::move(*sample));
    }
  }

  // Whether a cursor at this root position could show in the picture (cursors reach at most
  // 64 pixels from their hot spot in practice).
  bool nearCapture(const std::pair<int, int>& position) {
    const auto target = grabArea();
    if (!target) return false;
    return ScreenRect{target->rootX - 64, target->rootY - 64, target->width + 128.0,
                      target->height + 128.0}
        .contains(position.first, position.second);
  }

  bool touchesCapture(const xcb_rectangle_t& area) {
    const auto target = grabArea();
    if (!target) return false;
    const ScreenRect changed{static_cast<double>(area.x), static_cast<double>(area.y),
                             static_cast<double>(area.width), static_cast<double>(area.height)};
    return !changed
                .intersect({target->rootX, target->rootY, static_cast<double>(target->width),
                            static_cast<double>(target->height)})
                .isEmpty();
  }

  std::optional<CaptureSample> grab(const std::optional<std::pair<int, int>>& pointer) {
    const auto target = grabArea();
    if (!target) return std::nullopt;
    xcb_connection_t* c = x_->get();
    const std::size_t bytes =
        static_cast<std::size_t>(target->width) * static_cast<std::size_t>(target->height) * 4;
    const auto segment = freeSegment(bytes);
    if (!segment) return std::nullopt;
    auto image = own(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, target->drawable, static_cast<std::int16_t>(target->x),
                          static_cast<std::int16_t>(target->y),
                          static_cast<std::uint16_t>(target->width),
                          static_cast<std::uint16_t>(target->height), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment->id(), 0),
        nullptr));
    if (!image) return std::nullopt;  // the window went away or changed size under us
    std::uint8_t* pixels = segment->data();
    if (pointer) {
      auto cursor =
          own(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
      if (cursor) {
        drawCursor(pixels, target->width, target->height,
                   pointer->first - cursor->xhot - static_cast<int>(target->rootX),
                   pointer->second - cursor->yhot - static_cast<int>(target->rootY), *cursor);
      }
    }
    CaptureSample sample;
    sample.isValid = true;
    sample.status = FrameStatus::complete;
    sample.scaleFactor = 1;
    sample.contentRect = {0, 0, static_cast<double>(target->width),
                          static_cast<double>(target->height)};
    // The sample holds the segment itself: no copy of the picture; the segment returns to
    // the pool when the last user of the sample lets go.
    sample.pixels =
        PixelBuffer{target->width, target->height, target->width * 4,
                    std::shared_ptr<const std::uint8_t>(segment, segment->data()), bytes};
    return sample;
  }

  // A segment of at least `bytes` that no sample uses any more; a new one when all are taken.
  // Samples beyond the queue depth are dropped, so the pool stays at a handful of segments.
  std::shared_ptr<SharedSegment> freeSegment(std::size_t bytes) {
    std::erase_if(segments_,
                  [&](const auto& s) { return s.use_count() == 1 && s->size() < bytes; });
    for (const auto& segment : segments_) {
      if (segment.use_count() == 1) return segment;
    }
    if (segments_.size() >= maxSegments) return nullptr;
    auto segment = std::make_shared<SharedSegment>(x_, bytes);
    if (!segment->valid()) return nullptr;
    segments_.push_back(segment);
    return segment;
  }

  void deliver(CaptureSample sample) {
    std::optional<SerialQueue> queue;
    std::function<void(const CaptureSample&)> output;
    int depth = 3;
    {
      std::lock_guard guard(lock_);
      queue = outputQueue_;
      output = output_;
      depth = std::max(1, configuration_.queueDepth);
    }
    if (!queue || !output) return;
    // Samples the output has not taken yet are capped; beyond that, new ones are dropped.
    if (waiting_.load() >= depth) return;
    ++waiting_;
    queue->async(
        [self = shared_from_this(), output = std::move(output), sample = std::move(sample)] {
          output(sample);
          --self->waiting_;
        });
  }

  void stoppedWithError(std::error_code error) {
    running_ = false;
    if (onStoppedWithError)
      completions_.async([callback = onStoppedWithError, error] { callback(error); });
  }

  const std::string display_;
  std::mutex lock_;
  ContentFilter filter_;               // guarded by lock_
  StreamConfiguration configuration_;  // guarded by lock_
  std::optional<SerialQueue> outputQueue_;
  std::function<void(const CaptureSample&)> output_;
  const SerialQueue completions_{"tavelin.capture.x11"};

  // Touched only by the capture thread once it runs.
  std::shared_ptr<Connection> x_;
  xcb_window_t window_ = 0;
  xcb_pixmap_t pixmap_ = 0;
  ScreenRect windowArea_;
  xcb_damage_damage_t damage_ = 0;
  static constexpr std::size_t maxSegments = 6;
  std::vector<std::shared_ptr<SharedSegment>> segments_;  // the pool; capture thread only

  std::atomic<bool> running_{false};
  std::atomic<int> waiting_{0};
  std::thread thread_;
};

}  // namespace

X11CaptureService::X11CaptureService(std::string display) : display_(std::move(display)) {
  x_ = Connection::open(display_);
  available_ = x_ && initialiseExtensions(x_->get());
}

void X11CaptureService::shareableContent(
    std::function<void(std::optional<ShareableContent>, std::error_code)> done) {
  if (!available_) {
    done(std::nullopt, captureError(std::errc::not_supported));
    return;
  }
  X11WindowServer server(x_);
  X11ApplicationRegistry registry(x_);
  ShareableContent content;
  for (const auto& display : server.displays())
    content.displays.push_back({display.displayID, display.bounds});
  std::map<std::int32_t, ShareableApplication> applications;
  for (const auto& window : server.allWindows()) {
    ShareableApplication owner{window.ownerName,
                               registry.bundleIdentifier(window.ownerProcessID).value_or(""),
                               window.ownerProcessID};
    applications.emplace(owner.processID, owner);
    content.windows.push_back(
        {window.windowID, window.name, window.bounds, window.layer, window.isOnScreen, owner});
  }
  for (auto& [pid, application] : applications)
    content.applications.push_back(std::move(application));
  done(std::move(content), {});
}

std::optional<ContentFilter> X11CaptureService::displayFilter(
    std::uint32_t displayID, std::vector<std::int32_t> excludedProcessIDs) {
  if (!available_) return std::nullopt;
  for (const auto& display : X11WindowServer(x_).displays()) {
    if (display.displayID == displayID) {
      return ContentFilter{DisplayContent{displayID, std::move(excludedProcessIDs)}, 1,
                           display.bounds};
    }
  }
  return std::nullopt;
}

std::optional<ContentFilter> X11CaptureService::windowFilter(std::uint32_t windowID) {
  if (!available_) return std::nullopt;
  const auto area = clientArea(x_->get(), x_->root(), windowID);
  if (!area) return std::nullopt;
  return ContentFilter{WindowContent{windowID}, 1, *area};
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration) {
  return std::make_shared<X11CaptureStream>(display_, filter, configuration);
}

}  // namespace tavelin::x11
