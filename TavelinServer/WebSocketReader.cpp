#include "TavelinServer/WebSocketReader.hpp"

#include <utility>

namespace tavelin {

std::optional<WebSocketReader::Event> WebSocketReader::next(ReceiveBuffer& buffer) {
  using Kind = Event::Kind;
  for (;;) {
    auto decoded = WebSocketFrame::decodeResult(buffer.data(), maxMessage_);
    switch (decoded.kind) {
      case WebSocketFrame::DecodeResult::Kind::incomplete: return std::nullopt;
      case WebSocketFrame::DecodeResult::Kind::invalid:
        return Event{Kind::violation, {}, decoded.closeCode};
      case WebSocketFrame::DecodeResult::Kind::frame: break;
    }
    buffer.consume(decoded.consumed);
    WebSocketFrame& frame = decoded.frame;
    switch (frame.opcode) {
      case WebSocketOpcode::close: return Event{Kind::close, std::move(frame.payload)};
      case WebSocketOpcode::ping: return Event{Kind::ping, std::move(frame.payload)};
      case WebSocketOpcode::pong: return Event{Kind::pong, std::move(frame.payload)};
      case WebSocketOpcode::continuation:
        // Without a started message the bytes stay here, counting towards the limit, until the
        // next message replaces them.
        if (fragmentPayload_.size() + frame.payload.size() > maxMessage_) {
          return Event{Kind::violation, {}, WebSocketFrame::messageTooBig};
        }
        fragmentPayload_.insert(fragmentPayload_.end(), frame.payload.begin(), frame.payload.end());
        if (!frame.isFinal || !fragmentOpcode_) continue;
        frame.opcode = *std::exchange(fragmentOpcode_, std::nullopt);
        frame.payload = std::exchange(fragmentPayload_, {});
        break;
      case WebSocketOpcode::text:
      case WebSocketOpcode::binary:
        if (!frame.isFinal) {
          fragmentOpcode_ = frame.opcode;
          fragmentPayload_ = std::move(frame.payload);
          continue;
        }
        break;
    }
    return Event{frame.opcode == WebSocketOpcode::text ? Kind::text : Kind::binary,
                 std::move(frame.payload)};
  }
}

}  // namespace tavelin
