#include "TavelinHost/Platform/Wayland/PipeWireConsumer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "TavelinHost/Platform/Wayland/NodeBuffer.hpp"
#include "TavelinHost/Platform/Wayland/PipeWireApi.hpp"
#include "TavelinHost/Platform/Wayland/WaylandErrors.hpp"

namespace tavelin::wayland {

namespace {

using namespace std::chrono_literals;

// How long a node may take to be linked and streaming: the session manager links it.
constexpr auto linkTimeout = 10s;
constexpr std::uint32_t largestSide = 16384;

struct LoopDeleter {
  void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextDeleter {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};

std::optional<PixelLayout> layoutOf(std::uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx: return PixelLayout::bgrx;
    case SPA_VIDEO_FORMAT_BGRA: return PixelLayout::bgra;
    case SPA_VIDEO_FORMAT_RGBx: return PixelLayout::rgbx;
    case SPA_VIDEO_FORMAT_RGBA: return PixelLayout::rgba;
    case SPA_VIDEO_FORMAT_xRGB: return PixelLayout::xrgb;
    default: return std::nullopt;
  }
}

timespec monotonic(PipeWireConsumer::Clock::time_point at) {
  // steady_clock is CLOCK_MONOTONIC, the clock of PipeWire's timers; 0 would disarm.
  const auto ns = std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count());
  return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

std::int32_t cursorMetaSize(int side) {
  return static_cast<std::int32_t>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) +
         side * side * 4;
}

}  // namespace

// Everything below `handlers` is touched only under the loop's lock: by the loop thread,
// which holds it while it runs callbacks, and by connect and the destructor.
struct PipeWireConsumer::State {
  enum class Phase { connecting, streaming, ended, closing };

  State(Handlers h, std::uint32_t node) : handlers(std::move(h)), nodeID(node) {}

  const Handlers handlers;
  const std::uint32_t nodeID;
  std::unique_ptr<pw_thread_loop, LoopDeleter> loop;
  std::unique_ptr<pw_context, ContextDeleter> context;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_source* timer = nullptr;
  Phase phase = Phase::connecting;
  std::error_code failure;
  std::optional<NodeFormat> format;
  std::optional<NodeCursor> cursor;
  pw_buffer* held = nullptr;
  bool carried = false;  // a buffer that changed something was returned without being shown
  std::set<std::string> logged;

  std::error_code open(int fd);
  void log(const std::string& message);
  void finish(std::error_code error, const std::string& reason);
  void reject(const std::string& reason);
  void negotiated(const spa_pod* param);
  void process();
  void offer(pw_buffer* buffer, bool damaged);
  ProblemLog problems() {
    return [this](const std::string& message) { log(message); };
  }

  static const pw_stream_events events;
};

const pw_stream_events PipeWireConsumer::State::events = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto& s = *static_cast<State*>(data);
    if (s.phase == Phase::ended || s.phase == Phase::closing) return;
    switch (state) {
      case PW_STREAM_STATE_STREAMING:
        if (s.phase == Phase::connecting) {
          s.phase = Phase::streaming;
          pw_thread_loop_signal(s.loop.get(), false);
        }
        return;
      case PW_STREAM_STATE_ERROR:
        s.finish(WaylandError::streamEnded, error ? error : "error");
        return;
      case PW_STREAM_STATE_UNCONNECTED:
        s.finish(WaylandError::streamEnded, error ? error : "gone");
        return;
      case PW_STREAM_STATE_CONNECTING:
      case PW_STREAM_STATE_PAUSED: return;
    }
  };
  e.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format && param != nullptr) static_cast<State*>(data)->negotiated(param);
  };
  e.remove_buffer = [](void* data, pw_buffer* buffer) {
    auto& s = *static_cast<State*>(data);
    if (s.held == buffer) s.held = nullptr;
  };
  e.process = [](void* data) { static_cast<State*>(data)->process(); };
  return e;
}();

std::unique_ptr<PipeWireConsumer> PipeWireConsumer::connect(const PipeWireNode& node,
                                                            Handlers handlers,
                                                            std::error_code& error) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  auto state = std::make_unique<State>(std::move(handlers), node.nodeID);
  state->loop.reset(pw_thread_loop_new("tavelin.pipewire", nullptr));
  if (state->loop)
    state->context.reset(pw_context_new(pw_thread_loop_get_loop(state->loop.get()), nullptr, 0));
  if (!state->context || pw_thread_loop_start(state->loop.get()) < 0) {
    if (node.fd >= 0) ::close(node.fd);
    state->log("PipeWire: cannot make a loop and context: " + std::string(std::strerror(errno)));
    error = std::make_error_code(std::errc::resource_unavailable_try_again);
    return nullptr;
  }
  // From here the destructor tidies up whatever open got to.
  std::unique_ptr<PipeWireConsumer> consumer(new PipeWireConsumer(std::move(state)));
  error = consumer->state_->open(node.fd);
  if (error) return nullptr;
  return consumer;
}

PipeWireConsumer::PipeWireConsumer(std::unique_ptr<State> state) : state_(std::move(state)) {}

PipeWireConsumer::~PipeWireConsumer() {
  {
    pw::LoopLock lock(state_->loop.get());
    state_->phase = State::Phase::closing;  // what disconnecting reports is no news
    pw_loop* loop = pw_thread_loop_get_loop(state_->loop.get());
    if (state_->timer != nullptr) pw::removeSource(loop, state_->timer);
    if (state_->stream != nullptr) {
      pw_stream_disconnect(state_->stream);
      pw_stream_destroy(state_->stream);
    }
    if (state_->core != nullptr) pw_core_disconnect(state_->core);
  }
  pw_thread_loop_stop(state_->loop.get());
}

std::error_code PipeWireConsumer::State::open(int fd) {
  pw::LoopLock lock(loop.get());
  if (const auto& size = handlers.size;
      size && (size->width < 1 || size->height < 1 || size->width > largestSide ||
               size->height > largestSide)) {
    if (fd >= 0) ::close(fd);
    log("PipeWire: no pictures of " + std::to_string(size->width) + "x" +
        std::to_string(size->height) + " can be asked for");
    return std::make_error_code(std::errc::invalid_argument);
  }
  // PipeWire owns the descriptor from here, and closes it also when connecting fails.
  core = fd >= 0 ? pw_context_connect_fd(context.get(), fd, nullptr, 0)
                 : pw_context_connect(context.get(), nullptr, 0);
  if (core == nullptr) {
    log("PipeWire: cannot connect to the daemon: " + std::string(std::strerror(errno)));
    return std::make_error_code(std::errc::connection_refused);
  }
  stream = pw_stream_new(core, "tavelin-capture",
                         pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                           "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  timer = pw::addTimer(
      pw_thread_loop_get_loop(loop.get()),
      [](void* data, std::uint64_t) {
        auto& s = *static_cast<State*>(data);
        if (s.held != nullptr) s.offer(std::exchange(s.held, nullptr), false);
      },
      this);
  if (stream == nullptr || timer == nullptr) {
    log("PipeWire: cannot make a stream: " + std::string(std::strerror(errno)));
    return std::make_error_code(std::errc::resource_unavailable_try_again);
  }
  pw_stream_add_listener(stream, &listener, &events, this);

  alignas(8) std::uint8_t storage[1024];
  pw::ParamBuilder b(storage, sizeof storage);
  b.begin(SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  b.id(SPA_FORMAT_mediaType, SPA_MEDIA_TYPE_video);
  b.id(SPA_FORMAT_mediaSubtype, SPA_MEDIA_SUBTYPE_raw);
  b.idChoice(SPA_FORMAT_VIDEO_format, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB);
  if (const auto& size = handlers.size) {
    b.size(SPA_FORMAT_VIDEO_size,
           {static_cast<std::uint32_t>(size->width), static_cast<std::uint32_t>(size->height)});
  } else {
    b.sizeRange(SPA_FORMAT_VIDEO_size, {1920, 1080}, {1, 1}, {largestSide, largestSide});
  }
  b.rateRange(SPA_FORMAT_VIDEO_framerate, {0, 1}, {0, 1}, {1000, 1});
  const spa_pod* params[] = {b.end()};
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_DONT_RECONNECT);
  // Not reconnecting matters: without it the session manager would link a stream whose node
  // went away to whatever other video source it finds, a camera for instance.
  if (const int failed = pw_stream_connect(stream, PW_DIRECTION_INPUT, nodeID, flags, params, 1);
      failed < 0) {
    log("PipeWire: cannot connect to node " + std::to_string(nodeID) + ": " +
        std::strerror(-failed));
    return std::make_error_code(std::errc::connection_refused);
  }
  timespec deadline{};
  pw_thread_loop_get_time(
      loop.get(), &deadline,
      std::chrono::duration_cast<std::chrono::nanoseconds>(linkTimeout).count());
  const auto giveUp = Clock::now() + linkTimeout;
  while (phase == Phase::connecting && Clock::now() < giveUp)
    pw_thread_loop_timed_wait_full(loop.get(), &deadline);
  switch (phase) {
    case Phase::streaming: return {};
    case Phase::ended: return failure;
    case Phase::connecting:
    case Phase::closing: break;
  }
  log("PipeWire: node " + std::to_string(nodeID) +
      " was not linked to us in time (is a session manager running?)");
  return std::make_error_code(std::errc::timed_out);
}

void PipeWireConsumer::State::log(const std::string& message) {
  if (handlers.log && logged.size() < 16 && logged.insert(message).second)
    handlers.log("Capture", message);
}

void PipeWireConsumer::State::finish(std::error_code error, const std::string& reason) {
  const bool wasStreaming = phase == Phase::streaming;
  phase = Phase::ended;
  failure = error;
  log("PipeWire: node " + std::to_string(nodeID) + " ended: " + reason);
  pw_thread_loop_signal(loop.get(), false);
  if (wasStreaming && handlers.ended) handlers.ended(error);
}

void PipeWireConsumer::State::reject(const std::string& reason) {
  log("PipeWire: node " + std::to_string(nodeID) + " " + reason);
  pw_stream_set_error(stream, -EINVAL, "%s", reason.c_str());
}

void PipeWireConsumer::State::negotiated(const spa_pod* param) {
  std::uint32_t mediaType = 0, mediaSubtype = 0;
  spa_video_info_raw info{};
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0) {
    return reject("offers no raw video");
  }
  const auto layout = layoutOf(info.format);
  if (!layout) return reject("sends pixels of format " + std::to_string(info.format));
  if (info.size.width == 0 || info.size.height == 0 || info.size.width > largestSide ||
      info.size.height > largestSide) {
    return reject("sends pictures of " + std::to_string(info.size.width) + "x" +
                  std::to_string(info.size.height));
  }
  if (const auto& size = handlers.size;
      size && (static_cast<std::int64_t>(info.size.width) != size->width ||
               static_cast<std::int64_t>(info.size.height) != size->height)) {
    return reject("sends pictures of " + std::to_string(info.size.width) + "x" +
                  std::to_string(info.size.height) + ", not the " + std::to_string(size->width) +
                  "x" + std::to_string(size->height) + " asked for");
  }
  format = NodeFormat{nodeID, static_cast<int>(info.size.width), static_cast<int>(info.size.height),
                      *layout};

  alignas(8) std::uint8_t storage[1024];
  pw::ParamBuilder b(storage, sizeof storage);
  b.begin(SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  b.intRange(SPA_PARAM_BUFFERS_buffers, 8, 2, 16);
  b.integer(SPA_PARAM_BUFFERS_blocks, 1);
  b.intFlags(SPA_PARAM_BUFFERS_dataType, 1 << SPA_DATA_MemPtr | 1 << SPA_DATA_MemFd);
  const spa_pod* buffers = b.end();
  const auto meta = [&](spa_meta_type type, auto size) {
    b.begin(SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    b.id(SPA_PARAM_META_type, type);
    size();
    return b.end();
  };
  const auto region = static_cast<std::int32_t>(sizeof(spa_meta_region));
  const spa_pod* params[] = {
      buffers,
      meta(SPA_META_Header,
           [&] {
             b.integer(SPA_PARAM_META_size, static_cast<std::int32_t>(sizeof(spa_meta_header)));
           }),
      meta(SPA_META_VideoCrop, [&] { b.integer(SPA_PARAM_META_size, region); }),
      meta(SPA_META_VideoDamage,
           [&] { b.intRange(SPA_PARAM_META_size, 16 * region, region, 16 * region); }),
      meta(SPA_META_Cursor,
           [&] {
             b.intRange(SPA_PARAM_META_size, cursorMetaSize(64), cursorMetaSize(1),
                        cursorMetaSize(largestCursorSide));
           }),
  };
  pw_stream_update_params(stream, params, sizeof params / sizeof params[0]);
}

void PipeWireConsumer::State::process() {
  if (!handlers.frame) {
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream))
      pw_stream_queue_buffer(stream, buffer);
    return;
  }
  // Only the newest buffer is worth showing; the ones before it go back at once.
  pw_buffer* newest = nullptr;
  bool newestDamaged = false;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream)) {
    if (format) readCursor(buffer->buffer, *format, cursor, problems());
    if (held != nullptr) pw_stream_queue_buffer(stream, std::exchange(held, nullptr));
    if (newest != nullptr) {
      carried = carried || newestDamaged;
      pw_stream_queue_buffer(stream, newest);
    }
    newest = buffer;
    newestDamaged = readDamage(buffer->buffer);
  }
  if (newest != nullptr) offer(newest, newestDamaged);
}

void PipeWireConsumer::State::offer(pw_buffer* buffer, bool damaged) {
  auto frame = format ? readPicture(buffer->buffer, *format, problems()) : std::nullopt;
  if (!frame) {
    pw_stream_queue_buffer(stream, buffer);
    return;
  }
  frame->damaged = damaged || carried;
  if (cursor) frame->cursor = &*cursor;
  if (const auto later = handlers.frame(*frame)) {
    carried = frame->damaged;
    held = buffer;
    pw::armTimer(pw_thread_loop_get_loop(loop.get()), timer, monotonic(*later));
    return;
  }
  carried = false;
  pw_stream_queue_buffer(stream, buffer);
}

}  // namespace tavelin::wayland
