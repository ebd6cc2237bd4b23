// Frames from phones are decoded straight off the socket: decoding must never crash, read past
// the buffer or hand out a frame beyond the limits, and what it decodes must encode back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinServer/WebSocketFrame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavelin;
  std::string_view buffer(reinterpret_cast<const char*>(data), size);
  // Walk the buffer as the connection does, frame after frame.
  while (const auto decoded = WebSocketFrame::decode(buffer)) {
    const auto& [frame, consumed] = *decoded;
    if (consumed > buffer.size() || consumed < 2 ||
        frame.payload.size() > WebSocketFrame::maxPayload) {
      std::abort();
    }
    const Bytes again = WebSocketFrame::encode(frame.opcode, asText(frame.payload));
    const auto reread = WebSocketFrame::decode(asText(again));
    if (!reread || reread->first.payload != frame.payload) std::abort();
    buffer.remove_prefix(consumed);
  }
  return 0;
}
