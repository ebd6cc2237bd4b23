#include "TavelinHost/Platform/X11/X11CaptureStream.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>

#include "TavelinHost/Platform/FramePacer.hpp"
#include "TavelinHost/Platform/X11/X11CaptureSupport.hpp"
#include "TavelinHost/Platform/X11/X11Connection.hpp"
#include "TavelinHost/Platform/X11/X11SharedSegment.hpp"

namespace tavelin::x11 {

namespace {

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

}  // namespace

X11CaptureStream::~X11CaptureStream() {
  halt();
  if (wake_ >= 0) ::close(wake_);
}

void X11CaptureStream::addOutput(SerialQueue queue,
                                 std::function<void(const CaptureSample&)> output) {
  std::lock_guard guard(lock_);
  outputQueue_.emplace(std::move(queue));
  output_ = std::move(output);
}

void X11CaptureStream::start(CaptureCompletion done) {
  std::error_code error;
  if (!thread_.joinable()) {
    if (wake_ < 0) wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    error = wake_ < 0 ? std::error_code(errno, std::system_category()) : setUp();
    if (!error) {
      running_ = true;
      thread_ = std::thread([self = shared_from_this()] { self->run(); });
    }
  }
  complete(std::move(done), error);
}

void X11CaptureStream::stop(CaptureCompletion done) {
  halt();
  complete(std::move(done), {});
}

void X11CaptureStream::updateConfiguration(const StreamConfiguration& configuration,
                                           CaptureCompletion done) {
  {
    std::lock_guard guard(lock_);
    configuration_ = configuration;
  }
  complete(std::move(done), {});
}

void X11CaptureStream::updateFilter(const ContentFilter& filter, CaptureCompletion done) {
  const bool sameKind = filter.content.index() == filter_.content.index();
  if (sameKind && std::holds_alternative<DisplayContent>(filter.content)) {
    std::lock_guard guard(lock_);
    filter_ = filter;
    complete(std::move(done), {});
    return;
  }
  complete(std::move(done), captureError(std::errc::operation_not_supported));
}

void X11CaptureStream::setDemand(std::function<PictureDue()> wanted) {
  wanted_ = std::move(wanted);
}

void X11CaptureStream::pictureWanted(bool refresh) {
  if (refresh) refresh_ = true;
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
  }
}

void X11CaptureStream::complete(CaptureCompletion done, std::error_code error) {
  if (done) completions_.async([done = std::move(done), error] { done(error); });
}

std::error_code X11CaptureStream::setUp() {
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

void X11CaptureStream::nameWindowPixmap() {
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

void X11CaptureStream::halt() {
  running_ = false;
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  if (thread_.joinable()) thread_.detach();
}

std::optional<X11CaptureStream::Grab> X11CaptureStream::grabArea() {
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

void X11CaptureStream::run() {
  xcb_connection_t* c = x_->get();
  const int fd = xcb_get_file_descriptor(c);
  const std::uint8_t damageEvent =
      xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
  bool dirty = false;
  std::optional<std::pair<int, int>> lastPointer;
  // Right after redirection a window's pixmap may still be black or hold what covered it,
  // until the application has repainted what redirection exposed: give it a moment.
  const auto settled =
      std::chrono::steady_clock::now() +
      (window_ != 0 ? std::chrono::milliseconds(100) : std::chrono::milliseconds(0));
  FramePacer pacer;
  bool held = false;                            // a change waits until a phone tells it wants one
  std::chrono::steady_clock::time_point due{};  // and until then
  while (running_) {
    StreamConfiguration configuration;
    {
      std::lock_guard guard(lock_);
      configuration = configuration_;
    }
    // Sleep until the next event or wake-up, but while a change waits for its turn no longer
    // than that turn. A change no phone can take yet is looked at again now and then: a phone
    // whose acknowledgement is late takes the next picture without one.
    auto now = std::chrono::steady_clock::now();
    std::chrono::nanoseconds timeout = std::chrono::milliseconds(15);
    if (dirty && !held) {
      const auto turn =
          std::max({settled, due, pacer.nextTurn(configuration.minimumFrameInterval)});
      timeout =
          std::clamp<std::chrono::nanoseconds>(turn - now, std::chrono::nanoseconds(0), timeout);
    }
    const timespec waitFor{0, static_cast<long>(timeout.count())};
    pollfd waits[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
    ::ppoll(waits, 2, &waitFor, nullptr);
    if ((waits[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto read = ::read(wake_, &count, sizeof count);
      held = false;
      due = {};
    }
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
    if (refresh_.exchange(false)) dirty = true;
    now = std::chrono::steady_clock::now();
    if (!dirty || now < settled || !pacer.mayTake(now, configuration.minimumFrameInterval))
      continue;
    if (wanted_) {
      const auto wanted = wanted_();
      held = !wanted;
      if (held) continue;  // kept until a phone wants it
      due = *wanted;
      if (now < due) continue;  // kept until then
    }
    dirty = false;
    pacer.took(now, configuration.minimumFrameInterval);
    xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
    if (auto sample = grab(configuration.showsCursor ? lastPointer : std::nullopt))
      deliver(std::move(*sample));
  }
}

bool X11CaptureStream::nearCapture(const std::pair<int, int>& position) {
  const auto target = grabArea();
  if (!target) return false;
  return ScreenRect{target->rootX - 64, target->rootY - 64, target->width + 128.0,
                    target->height + 128.0}
      .contains(position.first, position.second);
}

bool X11CaptureStream::touchesCapture(const xcb_rectangle_t& area) {
  const auto target = grabArea();
  if (!target) return false;
  const ScreenRect changed{static_cast<double>(area.x), static_cast<double>(area.y),
                           static_cast<double>(area.width), static_cast<double>(area.height)};
  return !changed
              .intersect({target->rootX, target->rootY, static_cast<double>(target->width),
                          static_cast<double>(target->height)})
              .isEmpty();
}

std::optional<CaptureSample> X11CaptureStream::grab(
    const std::optional<std::pair<int, int>>& pointer) {
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
                        static_cast<std::uint16_t>(target->height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                        segment->id(), 0),
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
  sample.pixels = PixelBuffer{target->width, target->height, target->width * 4,
                              std::shared_ptr<const std::uint8_t>(segment, segment->data()), bytes};
  return sample;
}

std::shared_ptr<SharedSegment> X11CaptureStream::freeSegment(std::size_t bytes) {
  std::erase_if(segments_, [&](const auto& s) { return s.use_count() == 1 && s->size() < bytes; });
  for (const auto& segment : segments_) {
    if (segment.use_count() == 1) return segment;
  }
  if (segments_.size() >= maxSegments) return nullptr;
  auto segment = std::make_shared<SharedSegment>(x_, bytes);
  if (!segment->valid()) return nullptr;
  segments_.push_back(segment);
  return segment;
}

void X11CaptureStream::deliver(CaptureSample sample) {
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
  queue->async([self = shared_from_this(), output = std::move(output), sample = std::move(sample)] {
    output(sample);
    --self->waiting_;
  });
}

void X11CaptureStream::stoppedWithError(std::error_code error) {
  running_ = false;
  if (onStoppedWithError)
    completions_.async([callback = onStoppedWithError, error] { callback(error); });
}

}  // namespace tavelin::x11
