#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "TavelinKit/Foundation/Bytes.hpp"

namespace tavelin {

// One HTTP/1.1 request, parsed from the bytes buffered on a connection. The server speaks a
// small subset: one request per connection, bodies only of a declared length (no chunks).
struct HTTPRequest {
  static constexpr std::size_t maxBodyLength = 65536;

  std::string method;  // upper case
  std::string target;  // as received
  std::string path;    // the target before "?", percent-decoded
  std::map<std::string, std::string> query;
  std::map<std::string, std::string> headers;  // lower-case names; the last repeat wins
  Bytes body;

  struct ParseResult;

  // Parses the buffer from its start; nothing survives between calls (a connection, which sees
  // its buffer grow, reads with HTTPRequestParser instead). `incomplete` however long the buffer
  // is: the connection bounds it.
  static ParseResult parseResult(std::string_view buffer);
  // The request line and headers of a head (the bytes before the blank line) with the body
  // length it declares; nothing when they can never form a request, or declare a body longer
  // than `maxBody`.
  static std::optional<std::pair<HTTPRequest, std::size_t>> parseHead(std::string_view head,
                                                                      std::size_t maxBody);
  static std::optional<std::pair<HTTPRequest, std::size_t>> parse(std::string_view buffer);

  std::optional<std::string> header(std::string_view name) const;
  // Upgrade contains "websocket" and Connection contains "upgrade", ignoring case.
  bool isWebSocketUpgrade() const;

  // (path, query) of a request target: "+" means a space in query values only; text that does
  // not percent-decode to UTF-8 is kept as it came.
  static std::pair<std::string, std::map<std::string, std::string>> splitTarget(
      std::string_view target);
};

struct HTTPRequest::ParseResult {
  enum class Kind { request, incomplete, invalid };
  Kind kind = Kind::incomplete;
  HTTPRequest request;       // when kind is request
  std::size_t consumed = 0;  // bytes up to and including the body
};

std::string asciiLowercased(std::string_view text);

}  // namespace tavelin
