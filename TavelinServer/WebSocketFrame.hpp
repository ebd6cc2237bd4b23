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

  // Close codes the server answers a peer with.
  static constexpr std::uint16_t protocolError = 1002;
  static constexpr std::uint16_t messageTooBig = 1009;

  bool isFinal = true;
  WebSocketOpcode opcode = WebSocketOpcode::text;
  Bytes payload;  // unmasked

  struct DecodeResult;

  // What the start of `buffer` holds: a complete frame, the beginning of one, or bytes that can
  // never become an acceptable frame (a reserved opcode, a declared length above `maxLength`,
  // a 64-bit length with its top bit set), with the code to close the connection with. Masked
  // and unmasked frames are both read; only the header is looked at until the frame is whole.
  static DecodeResult decodeResult(std::string_view buffer, std::size_t maxLength = maxPayload);
  // The frame at the start of `buffer` and its length, or nothing when the bytes do not (yet)
  // start with a complete, acceptable frame.
  static std::optional<std::pair<WebSocketFrame, std::size_t>> decode(std::string_view buffer);

  // The header alone, for writing it in front of a payload that is shared, not copied.
  static Bytes encodeHeader(WebSocketOpcode opcode, std::size_t payloadLength);
  static Bytes encode(WebSocketOpcode opcode, std::string_view payload);

  static std::string acceptKey(std::string_view clientKey);
  static Bytes handshakeResponse(std::string_view clientKey);

  friend bool operator==(const WebSocketFrame&, const WebSocketFrame&) = default;
};

struct WebSocketFrame::DecodeResult {
  enum class Kind { frame, incomplete, invalid };
  Kind kind = Kind::incomplete;
  WebSocketFrame frame;         // when kind is frame
  std::size_t consumed = 0;     // when kind is frame: header and payload
  std::uint16_t closeCode = 0;  // when kind is invalid
};

}  // namespace tavelin
