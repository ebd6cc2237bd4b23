#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "TavelinHost/Platform/Wayland/NodeFrame.hpp"

struct spa_buffer;

// Reading one buffer of a node: its picture, damage and pointer, every offset and size the
// node wrote checked against the memory it gave before anything is read.
namespace tavelin::wayland {

// What the node and we agreed on for its pictures.
struct NodeFormat {
  std::uint32_t nodeID = 0;
  int width = 0;
  int height = 0;
  PixelLayout layout = PixelLayout::bgrx;
};

// The largest cursor image read, in pixels a side.
inline constexpr int largestCursorSide = 256;

using ProblemLog = std::function<void(const std::string&)>;

// The picture and its crop; nothing when the memory cannot be read or the chunk lies outside
// it. Damage and pointer are for the caller to fill in.
std::optional<NodeFrame> readPicture(spa_buffer* buffer, const NodeFormat& format,
                                     const ProblemLog& log);
// False only when the buffer says that nothing changed.
bool readDamage(spa_buffer* buffer);
// Brings `cursor` up to date with what the buffer says about the pointer, if anything.
void readCursor(spa_buffer* buffer, const NodeFormat& format, std::optional<NodeCursor>& cursor,
                const ProblemLog& log);

}  // namespace tavelin::wayland
