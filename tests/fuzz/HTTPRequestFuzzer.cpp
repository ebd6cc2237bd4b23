// Every byte a phone (or anything else on the network) sends goes through this parser first.
// It must never crash, read past the buffer or accept what breaks its own limits, and reading
// the bytes as they trickle in must end exactly where parsing them at once ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinServer/HTTPRequest.hpp"
#include "TavelinServer/HTTPRequestParser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavelin;
  if (size == 0) return 0;
  // The first byte chooses the size of the pieces the rest arrives in.
  const std::size_t piece = 1 + data[0] % 16;
  const std::string_view buffer(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto result = HTTPRequest::parseResult(buffer);

  HTTPRequestParser parser;
  HTTPRequest::ParseResult incremental;
  for (std::size_t fed = 0; fed < buffer.size();) {
    fed = std::min(buffer.size(), fed + piece);
    incremental = parser.parse(buffer.substr(0, fed));
    if (incremental.kind != HTTPRequest::ParseResult::Kind::incomplete) break;
  }
  if (incremental.kind != result.kind || incremental.consumed != result.consumed ||
      incremental.request.body != result.request.body ||
      incremental.request.target != result.request.target) {
    std::abort();
  }

  if (result.kind != HTTPRequest::ParseResult::Kind::request) return 0;
  const auto& request = result.request;
  if (result.consumed > buffer.size() || request.body.size() > HTTPRequest::maxBodyLength ||
      request.method.empty() || request.target.empty()) {
    std::abort();
  }
  (void)request.isWebSocketUpgrade();
  (void)request.header("Host");
  return 0;
}
