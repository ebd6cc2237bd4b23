#pragma once

namespace tavelin {

// How a portal's pictures are made: the rate, the largest side and the JPEG quality. A plain
// copy of the user's choices, taken once per capture source; each user clamps.
struct PictureSettings {
  int targetFps = 30;
  double jpegQuality = 0.6;
  int maxFrameDimension = 1440;  // 0 or less: no down-scaling

  friend bool operator==(const PictureSettings&, const PictureSettings&) = default;
};

}  // namespace tavelin
