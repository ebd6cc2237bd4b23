#pragma once

// PipeWire's C headers, for the .cpp files of this folder and their tests only: no public
// header includes this. Some of PipeWire's calls are macros built on GNU statement expressions
// and C casts (and, optimised, what looks like a null dereference), which our warnings flag
// wherever they expand; they expand only in the wrappers below, so the rest of our code keeps
// every warning.
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/pod/builder.h>

#include <ctime>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/raw-utils.h>

namespace tavelin::wayland::pw {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wnull-dereference"
#ifdef __clang__
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

inline spa_source* addTimer(pw_loop* loop, spa_source_timer_func_t tick, void* data) {
  return pw_loop_add_timer(loop, tick, data);
}

// Fires at `at` (CLOCK_MONOTONIC when absolute, else from now), then every `every` unless
// that is zero; a zero `at` disarms.
inline void armTimer(pw_loop* loop, spa_source* timer, timespec at, timespec every = {0, 0},
                     bool absolute = true) {
  pw_loop_update_timer(loop, timer, &at, &every, absolute);
}

inline void removeSource(pw_loop* loop, spa_source* source) {
  pw_loop_destroy_source(loop, source);
}

// The registry macro lives here with the others; tests watch the daemon through it.
inline void listen(pw_registry* registry, spa_hook* hook, const pw_registry_events* events,
                   void* data) {
  pw_registry_add_listener(registry, hook, events, data);
}

#pragma GCC diagnostic pop

// Holds a thread loop's lock for a scope.
class LoopLock {
 public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

// Parameter objects built call by call: the vararg builders of the headers take their values
// untyped, which a wrong integer width would silently break.
class ParamBuilder {
 public:
  ParamBuilder(void* storage, std::uint32_t size) {
    spa_pod_builder_init(&builder_, storage, size);
  }

  void begin(std::uint32_t type, std::uint32_t id) {
    spa_pod_builder_push_object(&builder_, &object_, type, id);
  }
  const spa_pod* end() {
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder_, &object_));
  }

  void id(std::uint32_t key, std::uint32_t value) {
    spa_pod_builder_prop(&builder_, key, 0);
    spa_pod_builder_id(&builder_, value);
  }
  void integer(std::uint32_t key, std::int32_t value) {
    spa_pod_builder_prop(&builder_, key, 0);
    spa_pod_builder_int(&builder_, value);
  }
  // The first value is the preferred one.
  template <typename... Ids>
  void idChoice(std::uint32_t key, std::uint32_t preferred, Ids... others) {
    choice(key, SPA_CHOICE_Enum, [&] {
      spa_pod_builder_id(&builder_, preferred);
      spa_pod_builder_id(&builder_, preferred);
      (spa_pod_builder_id(&builder_, static_cast<std::uint32_t>(others)), ...);
    });
  }
  void intRange(std::uint32_t key, std::int32_t preferred, std::int32_t low, std::int32_t high) {
    choice(key, SPA_CHOICE_Range, [&] {
      for (const std::int32_t value : {preferred, low, high}) spa_pod_builder_int(&builder_, value);
    });
  }
  void intFlags(std::uint32_t key, std::int32_t flags) {
    choice(key, SPA_CHOICE_Flags, [&] { spa_pod_builder_int(&builder_, flags); });
  }
  void sizeRange(std::uint32_t key, spa_rectangle preferred, spa_rectangle low,
                 spa_rectangle high) {
    choice(key, SPA_CHOICE_Range, [&] {
      for (const auto& value : {preferred, low, high})
        spa_pod_builder_rectangle(&builder_, value.width, value.height);
    });
  }
  void rateRange(std::uint32_t key, spa_fraction preferred, spa_fraction low, spa_fraction high) {
    choice(key, SPA_CHOICE_Range, [&] {
      for (const auto& value : {preferred, low, high})
        spa_pod_builder_fraction(&builder_, value.num, value.denom);
    });
  }
  void size(std::uint32_t key, spa_rectangle value) {
    spa_pod_builder_prop(&builder_, key, 0);
    spa_pod_builder_rectangle(&builder_, value.width, value.height);
  }
  void rate(std::uint32_t key, spa_fraction value) {
    spa_pod_builder_prop(&builder_, key, 0);
    spa_pod_builder_fraction(&builder_, value.num, value.denom);
  }

 private:
  template <typename Values>
  void choice(std::uint32_t key, std::uint32_t kind, Values values) {
    spa_pod_builder_prop(&builder_, key, 0);
    spa_pod_frame frame{};
    spa_pod_builder_push_choice(&builder_, &frame, kind, 0);
    values();
    spa_pod_builder_pop(&builder_, &frame);
  }

  spa_pod_builder builder_{};
  spa_pod_frame object_{};
};

}  // namespace tavelin::wayland::pw
