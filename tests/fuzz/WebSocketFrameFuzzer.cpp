// Frames from phones are decoded straight off the socket: decoding must never crash, read past
// the buffer or hand out a frame beyond the limits, and what it decodes must encode back. The
// reader on top, fed the same bytes in pieces, must never hand out a message beyond the limit
// and must stop at the first violation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinServer/WebSocketFrame.hpp"
#include "TavelinServer/WebSocketReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavelin;
  std::string_view buffer(reinterpret_cast<const char*>(data), size);
  const std::string_view all = buffer;
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

  constexpr std::size_t limit = 4096;  // small, so that fuzzed inputs reach it
  ReceiveBuffer received;
  WebSocketReader reader(limit);
  const std::size_t piece = size == 0 ? 1 : 1 + data[0] % 64;
  for (std::size_t at = 0; at < all.size(); at += piece) {
    const std::size_t count = std::min(piece, all.size() - at);
    auto room = received.prepare(count);
    std::copy_n(all.data() + at, count, room.data());
    received.commit(count);
    while (const auto event = reader.next(received)) {
      if (event->payload.size() > limit) std::abort();
      if (event->kind == WebSocketReader::Event::Kind::violation) return 0;
    }
  }
  return 0;
}
