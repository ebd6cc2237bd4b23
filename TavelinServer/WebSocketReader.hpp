#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "TavelinServer/ReceiveBuffer.hpp"
#include "TavelinServer/WebSocketFrame.hpp"

namespace tavelin {

// Turns the bytes of an upgraded connection into what the connection acts on: whole messages
// (fragments joined, with control frames between them handled at once), pings and pongs, the
// peer's close, and violations that end the stream with a close code. A frame or a joined
// message may hold at most `maxMessage` bytes. Owned by one connection, on its queue.
class WebSocketReader {
 public:
  struct Event {
    enum class Kind { text, binary, ping, pong, close, violation };
    Kind kind = Kind::text;
    Bytes payload;
    std::uint16_t closeCode = 0;  // for a violation
  };

  explicit WebSocketReader(std::size_t maxMessage = WebSocketFrame::maxPayload)
      : maxMessage_(maxMessage) {}

  // The next event at the front of `buffer`, its bytes consumed; nothing until a whole frame is
  // there. After a violation the buffer is left as it is: nothing more of it can be read.
  std::optional<Event> next(ReceiveBuffer& buffer);

 private:
  const std::size_t maxMessage_;
  std::optional<WebSocketOpcode> fragmentOpcode_;
  Bytes fragmentPayload_;
};

}  // namespace tavelin
