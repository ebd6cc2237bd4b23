#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinServer/WebSocketFrame.hpp"
#include "tests/support/LoopbackClient.hpp"

namespace tavelin::testing {

// A phone's side of the stream socket, speaking raw frames. What the host sends is read without
// the limit the host puts on what it receives: pictures may be larger.
class RawPhone {
 public:
  explicit RawPhone(std::uint16_t port, int receiveBuffer = 0)
      : client_("127.0.0.1", port, {}, receiveBuffer) {}

  // The server's answer head (and whatever followed it stays buffered).
  std::string upgrade(const std::string& target, const std::string& extraHeaders = "",
                      bool withKey = true) {
    client_.send("GET " + target +
                 " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\n" +
                 (withKey ? std::string("Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n") : "") +
                 extraHeaders + "\r\n");
    client_.readUntil(received_,
                      [](const std::string& r) { return r.find("\r\n\r\n") != std::string::npos; });
    const auto end = received_.find("\r\n\r\n");
    if (end == std::string::npos) return received_;
    std::string head = received_.substr(0, end + 4);
    received_.erase(0, end + 4);
    return head;
  }
  std::string rest() {
    client_.readUntil(
        received_, [](const std::string&) { return false; }, std::chrono::seconds(1));
    return received_;
  }

  // A client frame, masked as browsers send them.
  void sendFrame(WebSocketOpcode opcode, std::string_view payload, bool final = true) {
    Bytes frame = WebSocketFrame::encode(opcode, payload);
    if (!final) frame[0] &= 0x7F;
    const std::uint8_t key[4] = {0x12, 0x34, 0x56, 0x78};
    const std::size_t header = frame.size() - payload.size();
    frame[1] |= 0x80;
    frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(header), key, key + 4);
    for (std::size_t i = 0; i < payload.size(); ++i) frame[header + 4 + i] ^= key[i % 4];
    client_.send(asText(frame));
  }
  void sendRaw(std::string_view bytes) { client_.send(bytes); }
  void reset() { client_.reset(); }

  std::optional<WebSocketFrame> nextFrame(
      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    constexpr std::size_t anySize = std::size_t{1} << 30;
    const auto whole = [](const std::string& r) {
      return WebSocketFrame::decodeResult(r, anySize).kind ==
             WebSocketFrame::DecodeResult::Kind::frame;
    };
    if (!whole(received_) && !client_.readUntil(received_, whole, limit)) return std::nullopt;
    auto decoded = WebSocketFrame::decodeResult(received_, anySize);
    received_.erase(0, decoded.consumed);
    return std::move(decoded.frame);
  }
  bool closedWithoutMore() { return received_.empty() && client_.closedSilently(); }
  // The code of the close frame the server sent before it closed; 0 for anything else.
  int closeCode() {
    const auto frame = nextFrame();
    if (!frame || frame->opcode != WebSocketOpcode::close || frame->payload.size() != 2) return 0;
    if (!received_.empty() || !client_.readUntilClosed()) return 0;
    return frame->payload[0] << 8 | frame->payload[1];
  }
  LoopbackClient& client() { return client_; }

 private:
  LoopbackClient client_;
  std::string received_;
};

}  // namespace tavelin::testing
