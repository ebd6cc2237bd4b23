#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavelin {

// A moving test picture for the demo host: diagonal colour bands drifting with time, a
// bouncing square, and a caption (the portal's name, a frame counter and the time of day) so a
// viewer can see at a glance that pictures are live and in order. BGRX, stride width × 4.
class SyntheticPicture {
 public:
  SyntheticPicture(int width, int height, std::uint8_t hue);

  // Draws picture number `frame`; `caption` is drawn in capitals, digits and : . - only.
  const std::vector<std::uint8_t>& render(std::uint64_t frame, const std::string& caption);

  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return width_ * 4; }

 private:
  void fillRect(int x, int y, int w, int h, std::uint32_t bgrx);
  void drawText(int x, int y, int scale, const std::string& text, std::uint32_t bgrx);

  int width_;
  int height_;
  std::uint8_t hue_;
  std::vector<std::uint8_t> pixels_;
};

}  // namespace tavelin
