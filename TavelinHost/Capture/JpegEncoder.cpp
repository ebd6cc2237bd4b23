#include "TavelinHost/Capture/JpegEncoder.hpp"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace tavelin {

struct JpegEncoder::Handle {
  struct Deleter {
    void operator()(void* handle) const { tjDestroy(handle); }
  };
  std::unique_ptr<void, Deleter> compressor{tjInitCompress()};
  unsigned char* output = nullptr;  // owned by libjpeg-turbo (tjAlloc)
  unsigned long capacity = 0;

  ~Handle() { tjFree(output); }
};

JpegEncoder::JpegEncoder() : handle_(std::make_unique<Handle>()) {}
JpegEncoder::~JpegEncoder() = default;

std::optional<Bytes> JpegEncoder::encode(const std::uint8_t* bgrx, int width, int height,
                                         int stride, double quality) {
  if (!handle_->compressor || width < 1 || height < 1) return std::nullopt;
  const unsigned long needed = tjBufSize(width, height, TJSAMP_420);
  if (needed == static_cast<unsigned long>(-1)) return std::nullopt;
  if (needed > handle_->capacity) {
    tjFree(handle_->output);
    handle_->output = tjAlloc(static_cast<int>(needed));
    handle_->capacity = handle_->output ? needed : 0;
    if (!handle_->output) return std::nullopt;
  }
  unsigned long size = handle_->capacity;
  const int percent = std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
  if (tjCompress2(handle_->compressor.get(), bgrx, width, stride, height, TJPF_BGRX,
                  &handle_->output, &size, TJSAMP_420, percent,
                  TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0) {
    return std::nullopt;
  }
  return Bytes(handle_->output, handle_->output + size);
}

}  // namespace tavelin
