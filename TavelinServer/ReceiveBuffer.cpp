#include "TavelinServer/ReceiveBuffer.hpp"

#include <algorithm>
#include <cstring>

namespace tavelin {

std::span<char> ReceiveBuffer::prepare(std::size_t count) {
  if (storage_.size() - end_ < count) {
    const std::size_t live = size();
    if (begin_ > 0 && begin_ >= live) {
      std::memmove(storage_.data(), storage_.data() + begin_, live);
      begin_ = 0;
      end_ = live;
    }
    if (storage_.size() - end_ < count) {
      storage_.resize(std::max(end_ + count, storage_.size() * 2));
    }
  }
  return {storage_.data() + end_, count};
}

void ReceiveBuffer::commit(std::size_t count) { end_ = std::min(end_ + count, storage_.size()); }

void ReceiveBuffer::consume(std::size_t count) {
  begin_ += std::min(count, size());
  if (begin_ == end_) begin_ = end_ = 0;
}

}  // namespace tavelin
