#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "TavelinKit/Foundation/Bytes.hpp"

namespace tavelin {

enum class WebSocketOpcode : std::uint8_t {
  continuation = 0,
  text = 1,
  binary = 2,
  close = 8,
  ping = 9,
  pong = 10,
};

std::optional<WebSocketOpcode> webSocketOpcode(std::uint8_t raw);

// One WebSocket frame (RFC 6455 layout). Server frames are never fragmented or masked; no
// extension or subprotocol is negotiated.
struct WebSocketFrame {
  static constexpr std::size_t maxPayload = 131072;          // one frame, and a whole message
  static constexpr std::size_t maxUndecodedBuffer = 262144;  // without a decodable frame

  bool isFinal = true;
  WebSocketOpcode opcode = WebSocketOpcode::text;
  Bytes payload;  // unmasked

  // The frame at the start of `buffer` and its length, or nothing when the bytes do not (yet)
  // start with a complete, acceptable frame. Masked and unmasked frames are both read.
  static std::optional<std::pair<WebSocketFrame, std::size_t>> decode(std::string_view buffer);

  // The header alone, for writing it in front of a payload that is shared, not copied.
  static Bytes encodeHeader(WebSocketOpcode opcode, std::size_t payloadLength);
  static Bytes encode(WebSocketOpcode opcode, std::string_view payload);

  static std::string acceptKey(std::string_view clientKey);
  static Bytes handshakeResponse(std::string_view clientKey);

  friend bool operator==(const WebSocketFrame&, const WebSocketFrame&) = default;
};

}  // namespace tavelin
