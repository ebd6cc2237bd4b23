#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "TavelinServer/HTTPRequest.hpp"

namespace tavelin {

// Reads one request from the bytes of a connection as they arrive. Between calls the buffer only
// grows at its end: the search for the blank line resumes where the last call stopped and the
// head is parsed once, so a request that trickles in one byte at a time costs time linear in its
// length. Once it has answered `request` or `invalid` it keeps answering the same.
class HTTPRequestParser {
 public:
  explicit HTTPRequestParser(std::size_t maxBodyLength = HTTPRequest::maxBodyLength)
      : maxBodyLength_(maxBodyLength) {}

  // `buffer` holds every byte received so far, from the first byte of the request.
  HTTPRequest::ParseResult parse(std::string_view buffer);

 private:
  using Kind = HTTPRequest::ParseResult::Kind;

  const std::size_t maxBodyLength_;
  std::size_t searched_ = 0;  // bytes known to hold no "\r\n\r\n" ending inside them
  std::optional<Kind> verdict_;
  HTTPRequest head_;  // method, target, path, query and headers, once the head is in
  std::size_t bodyStart_ = 0;
  std::size_t bodyLength_ = 0;
};

}  // namespace tavelin
