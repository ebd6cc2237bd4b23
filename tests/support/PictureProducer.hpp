#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "TavelinHost/Platform/Wayland/PipeWireApi.hpp"
#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin::testing {

// A PipeWire video source of our own on the session's daemon, as a compositor's would be: it
// drives itself, sends a BGRx buffer every `period` with the picture it was last given, the
// crop when one is set, and damage that is empty unless the picture changed since the buffer
// before (or `damagesEvery` is set). With `anySize` it sends pictures of whatever size its
// consumer asks for (as Mutter's virtual monitor does), `width` × `height` when it asks none.
class PictureProducer {
 public:
  PictureProducer(int width, int height, std::chrono::milliseconds period, bool anySize = false)
      : width_(width), height_(height), period_(period) {
    picture_.assign(static_cast<std::size_t>(width) * height * 4, 0);
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("tavelin.test.producer", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_thread_loop_start(loop_);
    wayland::pw::LoopLock lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) throw std::runtime_error("the producer cannot reach pipewire");
    stream_ = pw_stream_new(core_, "tavelin-test-pictures",
                            pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
      auto& self = *static_cast<PictureProducer*>(data);
      std::lock_guard guard(self.lock_);
      if (state >= PW_STREAM_STATE_PAUSED) self.nodeID_ = pw_stream_get_node_id(self.stream_);
      self.event_.notify_all();
    };
    events.param_changed = [](void* data, std::uint32_t id, const spa_pod* param) {
      if (id == SPA_PARAM_Format && param != nullptr)
        static_cast<PictureProducer*>(data)->negotiated(param);
    };
    events.process = [](void* data) { static_cast<PictureProducer*>(data)->fill(); };
    events_ = events;
    pw_stream_add_listener(stream_, &listener_, &events_, this);
    alignas(8) std::uint8_t storage[512];
    wayland::pw::ParamBuilder b(storage, sizeof storage);
    b.begin(SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    b.id(SPA_FORMAT_mediaType, SPA_MEDIA_TYPE_video);
    b.id(SPA_FORMAT_mediaSubtype, SPA_MEDIA_SUBTYPE_raw);
    b.id(SPA_FORMAT_VIDEO_format, SPA_VIDEO_FORMAT_BGRx);
    const spa_rectangle size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
    if (anySize) {
      b.sizeRange(SPA_FORMAT_VIDEO_size, size, {1, 1}, {4096, 4096});
    } else {
      b.size(SPA_FORMAT_VIDEO_size, size);
    }
    b.rate(SPA_FORMAT_VIDEO_framerate, {0, 1});
    const spa_pod* params[] = {b.end()};
    pw_stream_connect(
        stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params,
        1);
    timer_ = wayland::pw::addTimer(
        pw_thread_loop_get_loop(loop_),
        [](void* data, std::uint64_t) {
          auto& self = *static_cast<PictureProducer*>(data);
          if (pw_stream_get_state(self.stream_, nullptr) == PW_STREAM_STATE_STREAMING)
            pw_stream_trigger_process(self.stream_);
        },
        this);
    wayland::pw::armTimer(pw_thread_loop_get_loop(loop_), timer_, {0, 1},
                          {0, static_cast<long>(period_.count()) * 1'000'000}, false);
  }
  PictureProducer(const PictureProducer&) = delete;
  PictureProducer& operator=(const PictureProducer&) = delete;
  ~PictureProducer() { close(); }

  // The node's id, once the daemon has made it.
  std::uint32_t nodeID() {
    std::unique_lock guard(lock_);
    event_.wait_for(guard, std::chrono::seconds(10), [&] { return nodeID_ != SPA_ID_INVALID; });
    return nodeID_;
  }

  void show(std::vector<std::uint8_t> picture, std::optional<PixelRect> crop = std::nullopt) {
    std::lock_guard guard(lock_);
    picture_ = std::move(picture);
    crop_ = crop;
    pictureChanged_ = true;
  }
  void damagesEvery(bool always) {
    std::lock_guard guard(lock_);
    always_ = always;
  }

  // The size agreed with the consumer.
  PixelSize size() {
    std::lock_guard guard(lock_);
    return {width_, height_};
  }

  // Waits until `count` more buffers went out.
  bool waitSent(std::uint64_t count) {
    std::unique_lock guard(lock_);
    const std::uint64_t until = sent_ + count;
    return event_.wait_for(guard, std::chrono::seconds(10), [&] { return sent_ >= until; });
  }

  // Takes the node off the daemon, as a compositor does when its window closes.
  void close() {
    if (loop_ == nullptr) return;
    {
      wayland::pw::LoopLock lock(loop_);
      wayland::pw::removeSource(pw_thread_loop_get_loop(loop_), timer_);
      pw_stream_destroy(stream_);
      pw_core_disconnect(core_);
    }
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
  }

 private:
  void negotiated(const spa_pod* param) {
    int width = 0, height = 0;
    {
      spa_video_info_raw info{};
      std::lock_guard guard(lock_);
      // A new size starts black; the same size keeps the picture shown before.
      if (spa_format_video_raw_parse(param, &info) >= 0 && info.size.width > 0 &&
          (static_cast<int>(info.size.width) != width_ ||
           static_cast<int>(info.size.height) != height_)) {
        width_ = static_cast<int>(info.size.width);
        height_ = static_cast<int>(info.size.height);
        picture_.assign(static_cast<std::size_t>(width_) * height_ * 4, 0);
      }
      width = width_;
      height = height_;
    }
    alignas(8) std::uint8_t storage[1024];
    wayland::pw::ParamBuilder b(storage, sizeof storage);
    const int stride = width * 4;
    b.begin(SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    b.intRange(SPA_PARAM_BUFFERS_buffers, 4, 2, 8);
    b.integer(SPA_PARAM_BUFFERS_blocks, 1);
    b.integer(SPA_PARAM_BUFFERS_size, stride * height);
    b.integer(SPA_PARAM_BUFFERS_stride, stride);
    b.intFlags(SPA_PARAM_BUFFERS_dataType, 1 << SPA_DATA_MemFd);
    const spa_pod* buffers = b.end();
    const auto region = static_cast<std::int32_t>(sizeof(spa_meta_region));
    b.begin(SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    b.id(SPA_PARAM_META_type, SPA_META_VideoCrop);
    b.integer(SPA_PARAM_META_size, region);
    const spa_pod* crop = b.end();
    b.begin(SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    b.id(SPA_PARAM_META_type, SPA_META_VideoDamage);
    b.intRange(SPA_PARAM_META_size, 16 * region, region, 16 * region);
    const spa_pod* damage = b.end();
    const spa_pod* params[] = {buffers, crop, damage};
    pw_stream_update_params(stream_, params, 3);
  }

  // Loop thread.
  void fill() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (buffer == nullptr) return;
    spa_buffer* b = buffer->buffer;
    spa_data& d = b->datas[0];
    std::lock_guard guard(lock_);
    const std::uint32_t bytes = static_cast<std::uint32_t>(picture_.size());
    if (d.data != nullptr && d.maxsize >= bytes) std::memcpy(d.data, picture_.data(), bytes);
    d.chunk->offset = 0;
    d.chunk->size = bytes;
    d.chunk->stride = width_ * 4;
    const PixelRect whole{0, 0, width_, height_};
    const PixelRect area = crop_.value_or(whole);
    if (auto* c = static_cast<spa_meta_region*>(
            spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
      c->region = {
          {static_cast<std::int32_t>(area.x), static_cast<std::int32_t>(area.y)},
          {static_cast<std::uint32_t>(area.width), static_cast<std::uint32_t>(area.height)}};
    }
    if (spa_meta* damage = spa_buffer_find_meta(b, SPA_META_VideoDamage)) {
      auto* regions = static_cast<spa_meta_region*>(damage->data);
      const std::size_t room = damage->size / sizeof(spa_meta_region);
      std::size_t used = 0;
      if (pictureChanged_ || always_) {
        regions[used++].region = {
            {0, 0}, {static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_)}};
      }
      if (used < room) regions[used].region = {{0, 0}, {0, 0}};
    }
    pictureChanged_ = false;
    pw_stream_queue_buffer(stream_, buffer);
    ++sent_;
    event_.notify_all();
  }

  int width_, height_;  // guarded by lock_ once the loop runs
  const std::chrono::milliseconds period_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  pw_stream_events events_{};
  spa_hook listener_{};
  spa_source* timer_ = nullptr;

  std::mutex lock_;
  std::condition_variable event_;
  std::vector<std::uint8_t> picture_;      // guarded by lock_
  std::optional<PixelRect> crop_;          // guarded by lock_
  bool pictureChanged_ = true;             // guarded by lock_
  std::uint32_t nodeID_ = SPA_ID_INVALID;  // guarded by lock_
  bool always_ = false;                    // guarded by lock_
  std::uint64_t sent_ = 0;                 // guarded by lock_
};

}  // namespace tavelin::testing
