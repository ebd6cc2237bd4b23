#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "TavelinKit/Foundation/Bytes.hpp"

namespace tavelin {

// Encodes BGRX pictures as baseline JPEG (4:2:0) with libjpeg-turbo. One encoder per encoding
// queue: its handle and output buffer are reused for every picture. Not thread-safe.
class JpegEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // `quality` in 0…1, clamped to 1…100 percent. Nothing when the library refuses.
  std::optional<Bytes> encode(const std::uint8_t* bgrx, int width, int height, int stride,
                              double quality);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

}  // namespace tavelin
