#include "TavelinHost/Capture/FrameEncoder.hpp"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tavelin {

std::optional<FramePlan> planFrame(const PixelSize& buffer,
                                   const std::optional<ScreenRect>& contentRect, double scaleFactor,
                                   const CropFunction& crop, int maxFrameDimension) {
  if (buffer.width < 1 || buffer.height < 1) return std::nullopt;
  const PixelRect whole{0, 0, buffer.width, buffer.height};
  PixelRect content = whole;
  if (contentRect && contentRect->width > 0 && contentRect->height > 0) {
    const double s = scaleFactor;
    content =
        PixelRect{roundToInteger(s * contentRect->x), roundToInteger(s * contentRect->y),
                  roundToInteger(s * contentRect->width), roundToInteger(s * contentRect->height)}
            .clamped(whole);
    if (content.isEmpty()) return std::nullopt;
  }
  PixelRect part = crop ? crop(content.size()) : PixelRect{0, 0, content.width, content.height};
  part = part.clamped({0, 0, content.width, content.height});
  if (part.isEmpty()) return std::nullopt;
  FramePlan plan{{content.x + part.x, content.y + part.y, part.width, part.height}, part.size()};
  const std::int64_t longest = std::max(part.width, part.height);
  if (maxFrameDimension >= 1 && maxFrameDimension < longest) {
    const double f = static_cast<double>(maxFrameDimension) / static_cast<double>(longest);
    plan.output = {std::max<std::int64_t>(1, roundToInteger(f * static_cast<double>(part.width))),
                   std::max<std::int64_t>(1, roundToInteger(f * static_cast<double>(part.height)))};
  }
  return plan;
}

struct FrameEncoder::State {
  struct Deleter {
    void operator()(void* handle) const { tjDestroy(handle); }
  };
  std::unique_ptr<void, Deleter> compressor{tjInitCompress()};
  // 4:2:0 planes of the crop and, when scaling, of the output; reused from frame to frame.
  std::vector<std::uint8_t> planes;
  std::vector<std::uint8_t> scaled;
  unsigned char* jpeg = nullptr;  // from tjAlloc
  unsigned long capacity = 0;

  ~State() { tjFree(jpeg); }
};

namespace {

struct Planes {
  std::uint8_t* y;
  std::uint8_t* u;
  std::uint8_t* v;
  int strideY;
  int strideUV;
};

Planes layOut(std::vector<std::uint8_t>& storage, int width, int height) {
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  const std::size_t luma = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const std::size_t chroma =
      static_cast<std::size_t>(chromaWidth) * static_cast<std::size_t>(chromaHeight);
  if (storage.size() < luma + 2 * chroma) storage.resize(luma + 2 * chroma);
  return {storage.data(), storage.data() + luma, storage.data() + luma + chroma, width,
          chromaWidth};
}

}  // namespace

FrameEncoder::FrameEncoder() : state_(std::make_unique<State>()) {}
FrameEncoder::~FrameEncoder() = default;

std::optional<FrameEncoder::FrameSet> FrameEncoder::makeFrames(
    const CaptureSample& sample, const CropFunction& crop, int maxFrameDimension,
    double jpegQuality, Date now, std::span<const std::optional<PortalView>> views) {
  if (!sample.isValid || sample.status != FrameStatus::complete || !sample.pixels ||
      !sample.pixels->data) {
    return std::nullopt;
  }
  const PixelBuffer& buffer = *sample.pixels;
  const auto plan =
      planFrame({buffer.width, buffer.height},
                sample.contentRect.isEmpty() ? std::nullopt : std::optional(sample.contentRect),
                sample.scaleFactor, crop, maxFrameDimension);
  if (!plan) return std::nullopt;
  const std::size_t needed =
      static_cast<std::size_t>(buffer.stride) * static_cast<std::size_t>(buffer.height);
  if (buffer.stride < buffer.width * 4 || buffer.size < needed) return std::nullopt;
  return FrameSet{plan->output, encodeViews(buffer.data.get(), buffer.stride, plan->crop,
                                            plan->output, views, jpegQuality, now)};
}

std::optional<CapturedFrame> FrameEncoder::makeFrame(const CaptureSample& sample,
                                                     const CropFunction& crop,
                                                     int maxFrameDimension, double jpegQuality,
                                                     Date now) {
  const std::optional<PortalView> whole[] = {std::nullopt};
  auto set = makeFrames(sample, crop, maxFrameDimension, jpegQuality, now, whole);
  if (!set || set->frames.empty()) return std::nullopt;
  return std::move(set->frames.front());
}

std::vector<CapturedFrame> FrameEncoder::encodeViews(
    const std::uint8_t* bgrx, int stride, const PixelRect& portal, const PixelSize& whole,
    std::span<const std::optional<PortalView>> views, double jpegQuality, Date now) {
  std::vector<CapturedFrame> frames;
  frames.reserve(views.size());
  for (const auto& view : views) {
    ViewCut cut{portal, whole, NormalizedRect::full};
    if (view) {
      const auto part = cutView(portal, *view);
      if (!part) continue;
      cut = *part;
    }
    // The part is a view into the pixels: no copy of the picture before conversion.
    const std::uint8_t* start = bgrx + cut.part.y * stride + cut.part.x * 4;
    auto jpeg = encode(start, stride, static_cast<int>(cut.part.width),
                       static_cast<int>(cut.part.height), cut.output, jpegQuality);
    if (!jpeg) continue;
    frames.push_back(
        {std::make_shared<const Bytes>(std::move(*jpeg)), whole, now, view, cut.shows});
  }
  return frames;
}

std::optional<Bytes> FrameEncoder::encode(const std::uint8_t* bgrx, int stride, int w, int h,
                                          const PixelSize& output, double jpegQuality) {
  const int outW = static_cast<int>(output.width);
  const int outH = static_cast<int>(output.height);
  if (!state_->compressor || w < 1 || h < 1 || outW < 1 || outH < 1) return std::nullopt;
  Planes planes = layOut(state_->planes, w, h);
  if (libyuv::ARGBToJ420(bgrx, stride, planes.y, planes.strideY, planes.u, planes.strideUV,
                         planes.v, planes.strideUV, w, h) != 0) {
    return std::nullopt;
  }
  if (outW != w || outH != h) {
    Planes target = layOut(state_->scaled, outW, outH);
    if (libyuv::I420Scale(planes.y, planes.strideY, planes.u, planes.strideUV, planes.v,
                          planes.strideUV, w, h, target.y, target.strideY, target.u,
                          target.strideUV, target.v, target.strideUV, outW, outH,
                          libyuv::kFilterBox) != 0) {
      return std::nullopt;
    }
    planes = target;
  }
  const unsigned long bound = tjBufSize(outW, outH, TJSAMP_420);
  if (bound > state_->capacity) {
    tjFree(state_->jpeg);
    state_->jpeg = tjAlloc(static_cast<int>(bound));
    state_->capacity = state_->jpeg ? bound : 0;
    if (!state_->jpeg) return std::nullopt;
  }
  const unsigned char* sources[3] = {planes.y, planes.u, planes.v};
  const int strides[3] = {planes.strideY, planes.strideUV, planes.strideUV};
  unsigned long size = state_->capacity;
  const int quality = std::clamp(static_cast<int>(std::lround(jpegQuality * 100)), 1, 100);
  if (tjCompressFromYUVPlanes(state_->compressor.get(), sources, outW, strides, outH, TJSAMP_420,
                              &state_->jpeg, &size, quality,
                              TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0) {
    return std::nullopt;
  }
  return Bytes(state_->jpeg, state_->jpeg + size);
}

}  // namespace tavelin
