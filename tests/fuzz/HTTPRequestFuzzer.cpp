// Every byte a phone (or anything else on the network) sends goes through this parser first.
// It must never crash, read past the buffer or accept what breaks its own limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinServer/HTTPRequest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavelin;
  const std::string_view buffer(reinterpret_cast<const char*>(data), size);
  const auto result = HTTPRequest::parseResult(buffer);
  if (result.kind != HTTPRequest::ParseResult::Kind::request) return 0;
  const auto& request = result.request;
  if (result.consumed > size || request.body.size() > HTTPRequest::maxBodyLength ||
      request.method.empty() || request.target.empty()) {
    std::abort();
  }
  (void)request.isWebSocketUpgrade();
  (void)request.header("Host");
  return 0;
}
