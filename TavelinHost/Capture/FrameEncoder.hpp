#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "TavelinHost/Platform/ScreenCaptureService.hpp"
#include "TavelinKit/Model/Geometry.hpp"
#include "TavelinKit/Model/Portal.hpp"

namespace tavelin {

// Where a picture comes from in the sample's buffer and how big it leaves.
struct FramePlan {
  PixelRect crop;    // in buffer pixels
  PixelSize output;  // after down-scaling

  friend bool operator==(const FramePlan&, const FramePlan&) = default;
};

// The part of the content a source shows, asked with the content's size (the whole content
// for screen and window portals, the region for window regions).
using CropFunction = std::function<PixelRect(const PixelSize& contentSize)>;

// The arithmetic of a frame: the content area (points × scale, rounded half away from zero,
// kept in the buffer), the source's crop inside it, and a uniform down-scale so the longest
// side is at most maxFrameDimension (0 or less: never), no side below 1. Nothing when an area
// comes out empty.
std::optional<FramePlan> planFrame(const PixelSize& buffer,
                                   const std::optional<ScreenRect>& contentRect, double scaleFactor,
                                   const CropFunction& crop, int maxFrameDimension);

// Turns samples into JPEG frames on one encoding queue: the crop is a view into the sample's
// buffer, converted to full-range 4:2:0 planes, box-scaled as planes, and compressed from the
// planes with one TurboJPEG handle. Buffers are kept between frames. Not thread-safe.
class FrameEncoder {
 public:
  FrameEncoder();
  ~FrameEncoder();
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;

  // The frames of one sample: the whole portal's size, and a frame for each view asked for
  // (nothing: the whole portal, down-scaled to maxFrameDimension; a view: its part, at the
  // phone's pixels). Nothing for samples that are not complete pictures, or that the plan
  // refuses; a view the encoder refuses is left out.
  struct FrameSet {
    PixelSize size;
    std::vector<CapturedFrame> frames;
  };
  std::optional<FrameSet> makeFrames(const CaptureSample& sample, const CropFunction& crop,
                                     int maxFrameDimension, double jpegQuality, Date now,
                                     std::span<const std::optional<PortalView>> views);
  // The whole portal alone.
  std::optional<CapturedFrame> makeFrame(const CaptureSample& sample, const CropFunction& crop,
                                         int maxFrameDimension, double jpegQuality, Date now);

  // A frame for each view of the portal, which is `portal` of the BGRX pixels at `bgrx`
  // (`stride` bytes a row) and leaves at `whole` when shown whole.
  std::vector<CapturedFrame> encodeViews(const std::uint8_t* bgrx, int stride,
                                         const PixelRect& portal, const PixelSize& whole,
                                         std::span<const std::optional<PortalView>> views,
                                         double jpegQuality, Date now);

  // The same path for pixels already in hand: width × height BGRX at `bgrx` with `stride`
  // bytes a row, scaled to `output`, quality 0…1.
  std::optional<Bytes> encode(const std::uint8_t* bgrx, int stride, int width, int height,
                              const PixelSize& output, double jpegQuality);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tavelin
