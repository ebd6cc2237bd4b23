#include <gtest/gtest.h>

#include <algorithm>

#include "TavelinServer/WebSocketFrame.hpp"
#include "TavelinServer/WebSocketReader.hpp"

namespace tavelin {
namespace {

std::string bytesOf(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(WebSocketFrame, HandshakeFollowsTheRfcSample) {
  EXPECT_EQ(WebSocketFrame::acceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(asText(WebSocketFrame::handshakeResponse("dGhlIHNhbXBsZSBub25jZQ==")),
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
}

TEST(WebSocketFrame, DecodesMaskedAndUnmaskedFrames) {
  // "Hello" masked with 37 fa 21 3d, the RFC's example.
  const auto masked = WebSocketFrame::decode(
      bytesOf({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}) + "trailing");
  ASSERT_TRUE(masked);
  EXPECT_EQ(masked->first, (WebSocketFrame{true, WebSocketOpcode::text, toBytes("Hello")}));
  EXPECT_EQ(masked->second, 11u);

  const auto plain = WebSocketFrame::decode(bytesOf({0x01, 0x05}) + "Hello");
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->first.isFinal);
  EXPECT_EQ(plain->first.payload, toBytes("Hello"));
  EXPECT_EQ(plain->second, 7u);
  EXPECT_TRUE(WebSocketFrame::decode(bytesOf({0xF1, 0x00})));  // reserved bits are ignored
}

TEST(WebSocketFrame, RefusesIncompleteUnknownAndOversizedFrames) {
  EXPECT_FALSE(WebSocketFrame::decode(""));
  EXPECT_FALSE(WebSocketFrame::decode(bytesOf({0x81})));
  EXPECT_FALSE(WebSocketFrame::decode(bytesOf({0x82, 126, 0x01})));        // 16-bit length cut off
  EXPECT_FALSE(WebSocketFrame::decode(bytesOf({0x82, 127, 0, 0, 0, 0})));  // 64-bit length cut off
  EXPECT_FALSE(WebSocketFrame::decode(bytesOf({0x81, 0x85, 1, 2, 3})));    // key cut off
  EXPECT_FALSE(WebSocketFrame::decode(bytesOf({0x81, 0x05}) + "Hell"));
  for (int reserved : {3, 4, 5, 6, 7, 11, 12, 13, 14, 15}) {
    EXPECT_FALSE(WebSocketFrame::decode(bytesOf({0x80 | reserved, 0x00}))) << reserved;
  }
  const std::string huge = bytesOf({0x82, 127, 0, 0, 0, 0, 0, 0x02, 0x00, 0x01});  // 131073
  EXPECT_FALSE(WebSocketFrame::decode(huge + std::string(131073, 'x')));
  EXPECT_FALSE(WebSocketFrame::decode(bytesOf({0x82, 127, 0x80, 0, 0, 0, 0, 0, 0, 1})));
  const std::string largest = bytesOf({0x82, 127, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00});
  EXPECT_EQ(WebSocketFrame::decode(largest + std::string(131072, 'x'))->second, 131082u);
}

// What can never become a frame is told apart from what is still arriving, with the close code
// the connection answers.
TEST(WebSocketFrame, NamesTheCloseCodeOfFramesThatCanNeverBeDecoded) {
  using Kind = WebSocketFrame::DecodeResult::Kind;
  struct Case {
    std::string bytes;
    Kind kind;
    std::uint16_t code;
  };
  const Case cases[] = {
      {bytesOf({0x83}), Kind::incomplete, 0},
      {bytesOf({0x83, 0x00}), Kind::invalid, WebSocketFrame::protocolError},
      {bytesOf({0x8F, 0x80}), Kind::invalid, WebSocketFrame::protocolError},
      {bytesOf({0x82, 127, 0, 0, 0, 0, 0, 0x02, 0x00, 0x01}), Kind::invalid,
       WebSocketFrame::messageTooBig},
      {bytesOf({0x82, 127, 0x80, 0, 0, 0, 0, 0, 0, 1}), Kind::invalid,
       WebSocketFrame::protocolError},
      {bytesOf({0x82, 127, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00}), Kind::incomplete, 0},
      {bytesOf({0x81, 0x85, 1, 2}), Kind::incomplete, 0},
      {bytesOf({0x81, 0x00}), Kind::frame, 0},
  };
  for (const auto& c : cases) {
    const auto result = WebSocketFrame::decodeResult(c.bytes);
    EXPECT_EQ(result.kind, c.kind) << c.bytes.size();
    EXPECT_EQ(result.closeCode, c.code) << c.bytes.size();
  }
}

std::string masked(WebSocketOpcode opcode, std::string_view payload, bool final = true) {
  Bytes frame = WebSocketFrame::encode(opcode, payload);
  if (!final) frame[0] &= 0x7F;
  const std::size_t header = frame.size() - payload.size();
  frame[1] |= 0x80;
  const std::uint8_t key[4] = {9, 8, 7, 6};
  frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(header), key, key + 4);
  for (std::size_t i = 0; i < payload.size(); ++i) frame[header + 4 + i] ^= key[i % 4];
  return std::string(asText(frame));
}

// Everything the reader produced from `bytes` fed `piece` bytes at a time, as "kind:payload".
std::vector<std::string> readAll(const std::string& bytes, std::size_t piece,
                                 std::size_t limit = WebSocketFrame::maxPayload) {
  using Kind = WebSocketReader::Event::Kind;
  ReceiveBuffer buffer;
  WebSocketReader reader(limit);
  std::vector<std::string> events;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const std::size_t count = std::min(piece, bytes.size() - at);
    auto room = buffer.prepare(count);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), count, room.begin());
    buffer.commit(count);
    while (auto event = reader.next(buffer)) {
      static const char* names[] = {"text", "binary", "ping", "pong", "close", "violation"};
      events.push_back(std::string(names[static_cast<int>(event->kind)]) + ":" +
                       (event->kind == Kind::violation ? std::to_string(event->closeCode)
                                                       : std::string(asText(event->payload))));
      if (event->kind == Kind::violation) return events;
    }
  }
  return events;
}

TEST(WebSocketReader, JoinsFragmentsAroundControlFramesInAnyPieces) {
  const std::string stream =
      masked(WebSocketOpcode::text, "{\"type\":", false) + masked(WebSocketOpcode::ping, "p") +
      masked(WebSocketOpcode::continuation, "\"tap\"}") + masked(WebSocketOpcode::binary, "b") +
      masked(WebSocketOpcode::continuation, "orphan") + masked(WebSocketOpcode::pong, "") +
      masked(WebSocketOpcode::close, "");
  const std::vector<std::string> expected{"ping:p", "text:{\"type\":\"tap\"}", "binary:b",
                                          "pong:", "close:"};
  for (std::size_t piece : {std::size_t{1}, std::size_t{5}, stream.size()}) {
    EXPECT_EQ(readAll(stream, piece), expected) << piece;
  }
}

TEST(WebSocketReader, EndsWithTheRightCodeAtTheFirstViolation) {
  EXPECT_EQ(readAll(masked(WebSocketOpcode::text, "ok") + bytesOf({0x83, 0x80}), 1),
            (std::vector<std::string>{"text:ok", "violation:1002"}));
  // A message joined from fragments may not outgrow a single frame's limit.
  const std::string fragments = masked(WebSocketOpcode::text, std::string(60, 'a'), false) +
                                masked(WebSocketOpcode::continuation, std::string(41, 'a'));
  EXPECT_EQ(readAll(fragments, 7, 100), (std::vector<std::string>{"violation:1009"}));
  EXPECT_EQ(readAll(fragments, 7, 101).size(), 1u);
  EXPECT_EQ(readAll(masked(WebSocketOpcode::binary, std::string(101, 'b')), 1, 100),
            (std::vector<std::string>{"violation:1009"}));
}

TEST(WebSocketFrame, EncodesTheThreeLengthForms) {
  EXPECT_EQ(WebSocketFrame::encode(WebSocketOpcode::binary, std::string(125, 'a')).size(), 127u);
  EXPECT_EQ(WebSocketFrame::encode(WebSocketOpcode::binary, std::string(126, 'a')).size(), 130u);
  EXPECT_EQ(WebSocketFrame::encode(WebSocketOpcode::binary, std::string(65536, 'a')).size(),
            65546u);
  EXPECT_EQ(WebSocketFrame::encodeHeader(WebSocketOpcode::text, 300),
            (Bytes{0x81, 126, 0x01, 0x2C}));
  EXPECT_EQ(WebSocketFrame::encodeHeader(WebSocketOpcode::pong, 0), (Bytes{0x8A, 0}));
  EXPECT_EQ(WebSocketFrame::encodeHeader(WebSocketOpcode::binary, 65536),
            (Bytes{0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}));
  for (std::size_t n : {0u, 125u, 126u, 65535u, 65536u, 131072u}) {
    const Bytes frame = WebSocketFrame::encode(WebSocketOpcode::binary, std::string(n, 'z'));
    const auto decoded = WebSocketFrame::decode(asText(frame));
    ASSERT_TRUE(decoded) << n;
    EXPECT_EQ(decoded->first.payload.size(), n);
    EXPECT_EQ(decoded->second, frame.size());
  }
}

}  // namespace
}  // namespace tavelin
