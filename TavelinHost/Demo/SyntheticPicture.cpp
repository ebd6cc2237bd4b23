#include "TavelinHost/Demo/SyntheticPicture.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace tavelin {

namespace {

// 5 × 7 glyphs, one byte per row, the low five bits from left to right.
struct Glyph {
  char character;
  std::array<std::uint8_t, 7> rows;
};

constexpr Glyph glyphs[] = {
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'1', {4, 12, 4, 4, 4, 4, 14}},
    {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},
    {'6', {6, 8, 16, 30, 17, 17, 14}},   {'7', {31, 1, 2, 4, 8, 8, 8}},
    {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {':', {0, 12, 12, 0, 12, 12, 0}},    {'.', {0, 0, 0, 0, 0, 12, 12}},
    {'-', {0, 0, 0, 31, 0, 0, 0}},       {'A', {14, 17, 17, 31, 17, 17, 17}},
    {'B', {30, 17, 17, 30, 17, 17, 30}}, {'C', {14, 17, 16, 16, 16, 17, 14}},
    {'D', {28, 18, 17, 17, 17, 18, 28}}, {'E', {31, 16, 16, 30, 16, 16, 31}},
    {'F', {31, 16, 16, 30, 16, 16, 16}}, {'G', {14, 17, 16, 23, 17, 17, 15}},
    {'H', {17, 17, 17, 31, 17, 17, 17}}, {'I', {14, 4, 4, 4, 4, 4, 14}},
    {'J', {7, 2, 2, 2, 2, 18, 12}},      {'K', {17, 18, 20, 24, 20, 18, 17}},
    {'L', {16, 16, 16, 16, 16, 16, 31}}, {'M', {17, 27, 21, 21, 17, 17, 17}},
    {'N', {17, 17, 25, 21, 19, 17, 17}}, {'O', {14, 17, 17, 17, 17, 17, 14}},
    {'P', {30, 17, 17, 30, 16, 16, 16}}, {'Q', {14, 17, 17, 17, 21, 18, 13}},
    {'R', {30, 17, 17, 30, 20, 18, 17}}, {'S', {15, 16, 16, 14, 1, 1, 30}},
    {'T', {31, 4, 4, 4, 4, 4, 4}},       {'U', {17, 17, 17, 17, 17, 17, 14}},
    {'V', {17, 17, 17, 17, 17, 10, 4}},  {'W', {17, 17, 17, 21, 21, 21, 10}},
    {'X', {17, 17, 10, 4, 10, 17, 17}},  {'Y', {17, 17, 17, 10, 4, 4, 4}},
    {'Z', {31, 1, 2, 4, 8, 16, 31}},
};

const Glyph* glyphFor(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const auto& glyph : glyphs) {
    if (glyph.character == c) return &glyph;
  }
  return nullptr;  // drawn as a space
}

std::uint32_t bgrx(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return static_cast<std::uint32_t>(b) | static_cast<std::uint32_t>(g) << 8 |
         static_cast<std::uint32_t>(r) << 16 | 0xFF000000u;
}

}  // namespace

SyntheticPicture::SyntheticPicture(int width, int height, std::uint8_t hue)
    : width_(std::max(width, 16)),
      height_(std::max(height, 16)),
      hue_(hue),
      pixels_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4) {}

void SyntheticPicture::fillRect(int x, int y, int w, int h, std::uint32_t colour) {
  const int left = std::max(x, 0), top = std::max(y, 0);
  const int right = std::min(x + w, width_), bottom = std::min(y + h, height_);
  for (int row = top; row < bottom; ++row) {
    auto* line =
        reinterpret_cast<std::uint32_t*>(pixels_.data() + static_cast<std::size_t>(row) * stride());
    std::fill(line + left, line + std::max(left, right), colour);
  }
}

void SyntheticPicture::drawText(int x, int y, int scale, const std::string& text,
                                std::uint32_t colour) {
  for (char c : text) {
    if (const Glyph* glyph = glyphFor(c)) {
      for (int row = 0; row < 7; ++row) {
        for (int column = 0; column < 5; ++column) {
          if (glyph->rows[static_cast<std::size_t>(row)] & (16 >> column)) {
            fillRect(x + column * scale, y + row * scale, scale, scale, colour);
          }
        }
      }
    }
    x += 6 * scale;
  }
}

const std::vector<std::uint8_t>& SyntheticPicture::render(std::uint64_t frame,
                                                          const std::string& caption) {
  const int shift = static_cast<int>(frame * 4 % 256);
  for (int row = 0; row < height_; ++row) {
    auto* line =
        reinterpret_cast<std::uint32_t*>(pixels_.data() + static_cast<std::size_t>(row) * stride());
    for (int column = 0; column < width_; ++column) {
      const auto band = static_cast<std::uint8_t>((column + row + shift) / 2);
      line[column] =
          bgrx(static_cast<std::uint8_t>(band + hue_), static_cast<std::uint8_t>(255 - band),
               static_cast<std::uint8_t>(hue_ * 3 + row * 128 / height_));
    }
  }
  // A square bouncing along the bottom half, one pass every four seconds at 30 frames/s.
  const int side = std::max(height_ / 6, 8);
  const int travel = std::max(width_ - side, 1);
  const int position = static_cast<int>(frame * 8 % static_cast<std::uint64_t>(2 * travel));
  const int x = position < travel ? position : 2 * travel - position;
  fillRect(x, height_ - side - height_ / 10, side, side, bgrx(255, 255, 255));

  const int scale = std::max(height_ / 120, 1);
  fillRect(0, 0, width_, 11 * scale, bgrx(0, 0, 0));
  drawText(2 * scale, 2 * scale, scale, caption, bgrx(255, 255, 255));
  return pixels_;
}

}  // namespace tavelin
