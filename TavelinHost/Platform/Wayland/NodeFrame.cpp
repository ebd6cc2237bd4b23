#include "TavelinHost/Platform/Wayland/NodeFrame.hpp"

#include <bit>
#include <cstring>

namespace tavelin::wayland {

namespace {

static_assert(std::endian::native == std::endian::little, "pixel words are read little-endian");

// Each pixel as a little-endian word; memcpy keeps the loads free of alignment assumptions,
// and the compiler turns the loops into vector code.
template <typename Convert>
void eachWord(const std::uint8_t* from, std::uint8_t* to, std::size_t pixels, Convert convert) {
  for (std::size_t i = 0; i < pixels; ++i) {
    std::uint32_t word;
    std::memcpy(&word, from + 4 * i, 4);
    word = convert(word);
    std::memcpy(to + 4 * i, &word, 4);
  }
}

}  // namespace

void toBgra(PixelLayout layout, const std::uint8_t* from, std::uint8_t* to, std::size_t pixels) {
  switch (layout) {
    case PixelLayout::bgrx:
    case PixelLayout::bgra:
      if (from != to) std::memmove(to, from, 4 * pixels);
      return;
    case PixelLayout::rgbx:
    case PixelLayout::rgba:
      eachWord(from, to, pixels, [](std::uint32_t w) {
        return (w & 0xFF00FF00u) | (w & 0xFFu) << 16 | (w >> 16 & 0xFFu);
      });
      return;
    case PixelLayout::xrgb:
      eachWord(from, to, pixels, [](std::uint32_t w) { return __builtin_bswap32(w); });
      return;
  }
}

}  // namespace tavelin::wayland
