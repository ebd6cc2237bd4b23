#pragma once

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tavelin::x11 {

class Connection;

// An MIT-SHM segment the server writes pictures into; private to us and removed at once, so it
// disappears with the process whatever happens.
// It keeps the connection alive: the last sample using it may be released on any thread
// after the stream is gone.
class SharedSegment {
 public:
  SharedSegment(std::shared_ptr<Connection> x, std::size_t size);
  ~SharedSegment();
  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;

  bool valid() const { return data_ != nullptr; }
  std::size_t size() const { return size_; }
  xcb_shm_seg_t id() const { return segment_; }
  std::uint8_t* data() const { return data_; }

 private:
  std::shared_ptr<Connection> x_;
  int id_ = -1;
  xcb_shm_seg_t segment_ = 0;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tavelin::x11
