#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"

// Test pictures whose every pixel says where it is, and the samples a capture stream delivers,
// kept with their arrival for a test to wait on.
namespace tavelin::testing {

using Clock = std::chrono::steady_clock;

// BGRx pixels that each say where they are; `seed` sets the fourth byte.
inline std::vector<std::uint8_t> pattern(int width, int height, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = bytes.data() + (static_cast<std::size_t>(y) * width + x) * 4;
      p[0] = static_cast<std::uint8_t>(x), p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>(x >> 8 | (y >> 8) << 4), p[3] = seed;
    }
  }
  return bytes;
}

// Whether the sample is exactly `part` of a BGRx picture `width` pixels wide.
inline ::testing::AssertionResult shows(const CaptureSample& sample,
                                        const std::vector<std::uint8_t>& picture, int width,
                                        PixelRect part) {
  if (!sample.pixels || sample.pixels->width != part.width || sample.pixels->height != part.height)
    return ::testing::AssertionFailure() << "not a picture of " << part.description();
  const auto& p = *sample.pixels;
  for (int row = 0; row < p.height; ++row) {
    const std::uint8_t* got = p.data.get() + static_cast<std::size_t>(row) * p.stride;
    const std::uint8_t* want =
        picture.data() + ((part.y + row) * static_cast<std::size_t>(width) + part.x) * 4;
    if (std::memcmp(got, want, static_cast<std::size_t>(p.width) * 4) != 0)
      return ::testing::AssertionFailure() << "row " << row << " differs";
  }
  return ::testing::AssertionSuccess();
}

// Samples as they arrive, with their arrival, for the test to wait on.
class SampleLog {
  template <typename F>
  auto read(F f) {
    std::lock_guard guard(lock_);
    return f(pictures_, idles_);
  }

 public:
  void add(const CaptureSample& sample) {
    const auto at = Clock::now();
    CaptureSample kept = sample;
    if (sample.pixels) {  // a copy of its own: the stream's few picture buffers go back at once
      const auto& p = *sample.pixels;
      kept.pixels = PixelBuffer::of(
          p.width, p.height, p.stride,
          std::make_shared<const std::vector<std::uint8_t>>(p.data.get(), p.data.get() + p.size));
    }
    std::lock_guard guard(lock_);
    (sample.status == FrameStatus::complete ? pictures_ : idles_).push_back({kept, at});
    changed_.notify_all();
  }
  // The `n`th picture (from 0), within `limit`.
  std::optional<CaptureSample> picture(std::size_t n,
                                       std::chrono::seconds limit = std::chrono::seconds(20)) {
    std::unique_lock guard(lock_);
    if (!changed_.wait_for(guard, limit, [&] { return pictures_.size() > n; })) return {};
    return pictures_[n].sample;
  }
  bool waitIdles(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(20),
                             [&] { return idles_.size() >= count; });
  }
  std::size_t pictures() {
    return read([](auto& p, auto&) { return p.size(); });
  }
  std::size_t all() {
    return read([](auto& p, auto& i) { return p.size() + i.size(); });
  }
  Clock::time_point pictureAt(std::size_t n) {
    return read([&](auto& p, auto&) { return p[n].at; });
  }
  Clock::time_point idleAt(std::size_t n) {
    return read([&](auto&, auto& i) { return i[n].at; });
  }

 private:
  struct Entry {
    CaptureSample sample;
    Clock::time_point at;
  };
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Entry> pictures_, idles_;
};

}  // namespace tavelin::testing
