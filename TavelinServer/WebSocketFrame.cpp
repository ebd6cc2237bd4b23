#include "TavelinServer/WebSocketFrame.hpp"

#include "TavelinKit/Foundation/Crypto.hpp"

namespace tavelin {

std::optional<WebSocketOpcode> webSocketOpcode(std::uint8_t raw) {
  switch (raw) {
    case 0: return WebSocketOpcode::continuation;
    case 1: return WebSocketOpcode::text;
    case 2: return WebSocketOpcode::binary;
    case 8: return WebSocketOpcode::close;
    case 9: return WebSocketOpcode::ping;
    case 10: return WebSocketOpcode::pong;
    default: return std::nullopt;
  }
}

WebSocketFrame::DecodeResult WebSocketFrame::decodeResult(std::string_view buffer,
                                                          std::size_t maxLength) {
  using Kind = DecodeResult::Kind;
  DecodeResult result;
  if (buffer.size() < 2) return result;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
  const auto opcode = webSocketOpcode(bytes[0] & 0x0F);
  if (!opcode) return {Kind::invalid, {}, 0, protocolError};
  const bool masked = (bytes[1] & 0x80) != 0;
  std::uint64_t length = bytes[1] & 0x7F;
  std::size_t header = 2;
  if (length == 126) {
    if (buffer.size() < 4) return result;
    length = static_cast<std::uint64_t>(bytes[2]) << 8 | bytes[3];
    header = 4;
  } else if (length == 127) {
    if (buffer.size() < 10) return result;
    length = 0;
    for (std::size_t i = 2; i < 10; ++i) length = length << 8 | bytes[i];
    if (length >> 63 != 0) return {Kind::invalid, {}, 0, protocolError};
    header = 10;
  }
  if (length > maxLength) return {Kind::invalid, {}, 0, messageTooBig};
  std::uint8_t key[4] = {};
  if (masked) {
    if (buffer.size() < header + 4) return result;
    for (std::size_t i = 0; i < 4; ++i) key[i] = bytes[header + i];
    header += 4;
  }
  if (buffer.size() - header < length) return result;
  result.kind = Kind::frame;
  result.frame = {(bytes[0] & 0x80) != 0, *opcode, Bytes(bytes + header, bytes + header + length)};
  if (masked) {
    auto& payload = result.frame.payload;
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= key[i % 4];
  }
  result.consumed = header + static_cast<std::size_t>(length);
  return result;
}

std::optional<std::pair<WebSocketFrame, std::size_t>> WebSocketFrame::decode(
    std::string_view buffer) {
  auto result = decodeResult(buffer);
  if (result.kind != DecodeResult::Kind::frame) return std::nullopt;
  return std::pair{std::move(result.frame), result.consumed};
}

Bytes WebSocketFrame::encodeHeader(WebSocketOpcode opcode, std::size_t n) {
  Bytes header;
  header.reserve(10);  // the longest: two bytes and a 64-bit length
  header.push_back(static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(opcode)));
  if (n < 126) {
    header.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 65536) {
    header.push_back(126);
    header.push_back(static_cast<std::uint8_t>(n >> 8));
    header.push_back(static_cast<std::uint8_t>(n));
  } else {
    header.push_back(127);
    for (int shift = 56; shift >= 0; shift -= 8) {
      header.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> shift));
    }
  }
  return header;
}

Bytes WebSocketFrame::encode(WebSocketOpcode opcode, std::string_view payload) {
  Bytes frame = encodeHeader(opcode, payload.size());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::string WebSocketFrame::acceptKey(std::string_view clientKey) {
  return base64Encode(sha1(std::string(clientKey) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}

Bytes WebSocketFrame::handshakeResponse(std::string_view clientKey) {
  return toBytes(
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      acceptKey(clientKey) + "\r\n\r\n");
}

}  // namespace tavelin
