#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tavelin {

// The bytes a connection received and has not consumed yet. Consuming moves an offset; the
// consumed front is dropped only when room is needed and it is at least as long as what is
// left, so every byte is moved a bounded number of times however the peer splits its writes.
// Owned by one connection, touched only on its queue.
class ReceiveBuffer {
 public:
  // Room for `count` more bytes at the end; `commit` says how many of them arrived.
  std::span<char> prepare(std::size_t count);
  void commit(std::size_t count);

  std::string_view data() const { return {storage_.data() + begin_, end_ - begin_}; }
  std::size_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }
  void consume(std::size_t count);
  void clear() { begin_ = end_ = 0; }

 private:
  std::string storage_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace tavelin
