#include <gtest/gtest.h>

#include "TavelinServer/WebSocketFrame.hpp"

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
