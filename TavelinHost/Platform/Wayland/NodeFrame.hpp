#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin::wayland {

// The byte order of a four-byte pixel in memory, as the node sends it.
enum class PixelLayout { bgrx, bgra, rgbx, rgba, xrgb };

// Rewrites `pixels` pixels of `layout` as BGRA (BGRX for the x layouts: the fourth byte keeps
// no meaning). `from` and `to` may be the same.
void toBgra(PixelLayout layout, const std::uint8_t* from, std::uint8_t* to, std::size_t pixels);

// The pointer as the node last described it, in the node's buffer pixels.
struct NodeCursor {
  int x = 0;  // where the hot spot is
  int y = 0;
  int hotX = 0;  // the hot spot within the image
  int hotY = 0;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> image;  // premultiplied BGRA, width × 4 bytes a row; empty: hidden
  std::uint64_t serial = 0;         // changes whenever the image does
};

// One buffer of the node, valid only while the call that hands it over lasts. `data` and
// `size` are what the node mapped for us; whether the picture fits in them is for the reader
// to check.
struct NodeFrame {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  int width = 0;
  int height = 0;
  int stride = 0;
  PixelLayout layout = PixelLayout::bgrx;
  std::optional<PixelRect> crop;       // the part that is content, when the node says so
  bool damaged = true;                 // false only when the node said nothing changed
  const NodeCursor* cursor = nullptr;  // null while the node has sent no pointer
};

}  // namespace tavelin::wayland
