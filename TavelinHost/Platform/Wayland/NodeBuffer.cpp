#include "TavelinHost/Platform/Wayland/NodeBuffer.hpp"

#include <algorithm>

#include "TavelinHost/Platform/Wayland/PipeWireApi.hpp"

namespace tavelin::wayland {

namespace {

template <typename T>
const T* metaData(spa_buffer* buffer, spa_meta_type type) {
  return static_cast<const T*>(spa_buffer_find_meta_data(buffer, type, sizeof(T)));
}

std::string ofNode(const NodeFormat& format) {
  return "PipeWire: node " + std::to_string(format.nodeID) + " ";
}

// A new image (or none) from the bitmap at `bytes`, of which `available` bytes are the
// node's metadata.
void readBitmap(const std::uint8_t* bytes, std::size_t available, const NodeFormat& format,
                NodeCursor& into, const ProblemLog& log) {
  const auto* bitmap = static_cast<const spa_meta_bitmap*>(static_cast<const void*>(bytes));
  ++into.serial;
  into.image.clear();
  into.width = into.height = 0;
  if (bitmap->offset == 0) return;  // no image: the pointer is hidden
  // Cursor images come premultiplied, as the compositors draw them.
  std::optional<PixelLayout> layout;
  if (bitmap->format == SPA_VIDEO_FORMAT_BGRA) layout = PixelLayout::bgra;
  if (bitmap->format == SPA_VIDEO_FORMAT_RGBA) layout = PixelLayout::rgba;
  const auto w = static_cast<std::size_t>(bitmap->size.width);
  const auto h = static_cast<std::size_t>(bitmap->size.height);
  const auto stride = static_cast<std::size_t>(std::max(bitmap->stride, 0));
  const std::size_t largest = largestCursorSide;
  if (!layout || w == 0 || h == 0 || w > largest || h > largest || stride < w * 4 ||
      bitmap->offset < sizeof(spa_meta_bitmap) || bitmap->offset > available ||
      (h - 1) * stride + w * 4 > available - bitmap->offset) {
    log(ofNode(format) + "sends a cursor image that is not drawn");
    return;
  }
  into.image.resize(w * h * 4);
  for (std::size_t row = 0; row < h; ++row)
    toBgra(*layout, bytes + bitmap->offset + row * stride, into.image.data() + row * w * 4, w);
  into.width = static_cast<int>(w);
  into.height = static_cast<int>(h);
}

}  // namespace

std::optional<NodeFrame> readPicture(spa_buffer* buffer, const NodeFormat& format,
                                     const ProblemLog& log) {
  if (buffer->n_datas < 1) return std::nullopt;
  const spa_data& d = buffer->datas[0];
  if (d.type != SPA_DATA_MemPtr && d.type != SPA_DATA_MemFd) {
    log(ofNode(format) + "sends memory of type " + std::to_string(d.type) + ", which is not read");
    return std::nullopt;
  }
  if (d.data == nullptr || d.chunk == nullptr) {
    log(ofNode(format) + "sends a buffer that could not be mapped");
    return std::nullopt;
  }
  const auto* header = metaData<spa_meta_header>(buffer, SPA_META_Header);
  if ((d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0 ||
      (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0)) {
    return std::nullopt;
  }
  const std::uint32_t offset = d.chunk->offset, size = d.chunk->size;
  if (offset > d.maxsize || size > d.maxsize - offset || d.chunk->stride < 0) {
    log(ofNode(format) + "sends a buffer that describes data outside its memory");
    return std::nullopt;
  }
  NodeFrame frame;
  frame.data = static_cast<const std::uint8_t*>(d.data) + offset;
  frame.size = size;
  frame.width = format.width;
  frame.height = format.height;
  frame.stride = d.chunk->stride > 0 ? d.chunk->stride : format.width * 4;
  frame.layout = format.layout;
  if (const auto* crop = metaData<spa_meta_region>(buffer, SPA_META_VideoCrop);
      crop != nullptr && spa_meta_region_is_valid(crop)) {
    frame.crop = PixelRect{crop->region.position.x, crop->region.position.y,
                           crop->region.size.width, crop->region.size.height};
  }
  return frame;
}

bool readDamage(spa_buffer* buffer) {
  const spa_meta* damage = spa_buffer_find_meta(buffer, SPA_META_VideoDamage);
  // A list ended by an empty region: an empty first region means no change.
  return damage == nullptr || damage->size < sizeof(spa_meta_region) ||
         spa_meta_region_is_valid(static_cast<const spa_meta_region*>(damage->data));
}

void readCursor(spa_buffer* buffer, const NodeFormat& format, std::optional<NodeCursor>& cursor,
                const ProblemLog& log) {
  const spa_meta* meta = spa_buffer_find_meta(buffer, SPA_META_Cursor);
  if (meta == nullptr || meta->size < sizeof(spa_meta_cursor)) return;
  const auto* bytes = static_cast<const std::uint8_t*>(meta->data);
  const auto* c = static_cast<const spa_meta_cursor*>(meta->data);
  if (!spa_meta_cursor_is_valid(c)) return;  // nothing new about the pointer
  NodeCursor next = cursor.value_or(NodeCursor{});
  next.x = c->position.x;
  next.y = c->position.y;
  const std::size_t at = c->bitmap_offset;
  if (at >= sizeof(spa_meta_cursor) && at <= meta->size &&
      meta->size - at >= sizeof(spa_meta_bitmap)) {
    const auto* bitmap = static_cast<const spa_meta_bitmap*>(static_cast<const void*>(bytes + at));
    if (spa_meta_bitmap_is_valid(bitmap)) {
      next.hotX = c->hotspot.x;
      next.hotY = c->hotspot.y;
      readBitmap(bytes + at, meta->size - at, format, next, log);
    }
  }
  cursor = std::move(next);
}

}  // namespace tavelin::wayland
