// CPU the server spends reading requests and stream messages that arrive one byte per write:
// it must grow linearly with their size. The parsers are fed exactly as a connection feeds them
// (its whole buffer, grown by one byte per read), with their limits raised to the sizes
// measured; then the largest request and message the server accepts cross a real socket one
// byte per write. Reports figures; asserts nothing.
//
//   tavelin_bench_parsing
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "TavelinServer/HTTPRequestParser.hpp"
#include "TavelinServer/StreamingServer.hpp"
#include "TavelinServer/WebSocketReader.hpp"
#include "tests/support/CpuTime.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace {

using namespace tavelin;

double cpuMilliseconds(const std::function<void()>& work) {
  const double before = testing::ownCpuSeconds();
  work();
  return (testing::ownCpuSeconds() - before) * 1000;
}

std::string request(std::size_t bodyLength) {
  return "POST /api/pair HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
         std::to_string(bodyLength) + "\r\n\r\n" + std::string(bodyLength, 'b');
}

// One text message of `length` bytes in frames of at most `frameLength`, masked as browsers
// send them.
std::string message(std::size_t length, std::size_t frameLength) {
  std::string bytes;
  for (std::size_t at = 0; at < length || at == 0; at += frameLength) {
    const std::size_t size = std::min(frameLength, length - at);
    Bytes frame = WebSocketFrame::encode(
        at == 0 ? WebSocketOpcode::text : WebSocketOpcode::continuation, std::string(size, 'm'));
    if (at + size < length) frame[0] &= 0x7F;
    const std::size_t header = frame.size() - size;
    frame[1] |= 0x80;
    frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(header), {1, 2, 3, 4});
    bytes += asText(frame);
    if (length == 0) break;
  }
  return bytes;
}

// A connection's reads, one byte each: the HTTP parser over the grown buffer.
bool readRequestByteByByte(const std::string& bytes, std::size_t maxBody) {
  ReceiveBuffer buffer;
  HTTPRequestParser parser(maxBody);
  for (char byte : bytes) {
    buffer.prepare(1)[0] = byte;
    buffer.commit(1);
    if (parser.parse(buffer.data()).kind == HTTPRequest::ParseResult::Kind::request) return true;
  }
  return false;
}

std::size_t readMessageByteByByte(const std::string& bytes, std::size_t maxMessage) {
  ReceiveBuffer buffer;
  WebSocketReader reader(maxMessage);
  std::size_t received = 0;
  for (char byte : bytes) {
    buffer.prepare(1)[0] = byte;
    buffer.commit(1);
    while (const auto event = reader.next(buffer)) received += event->payload.size();
  }
  return received;
}

// What a connection did before it kept state between reads: the whole buffer parsed again
// after every byte. The head alone (no blank line yet) shows the cost.
void reparseWholeBufferByteByByte(std::size_t headLength) {
  std::string buffer = "GET / HTTP/1.1\r\nX: ";
  const std::size_t start = buffer.size();
  for (std::size_t i = start; i < headLength; ++i) {
    buffer.push_back('h');
    (void)HTTPRequest::parseResult(buffer);
  }
}

}  // namespace

int main() {
  std::printf(
      "one byte per read, CPU ms (each size is 4x the last: a linear cost grows 4x, a "
      "quadratic one 16x)\n");
  for (std::size_t size : {std::size_t{256} << 10, std::size_t{1} << 20, std::size_t{4} << 20}) {
    const std::string http = request(size);
    bool whole = false;
    const double httpMs = cpuMilliseconds([&] { whole = readRequestByteByByte(http, size); });
    const std::string single = message(size, size);
    const std::string fragmented = message(size, 65536);
    std::size_t got = 0, gotFragments = 0;
    const double wsMs = cpuMilliseconds([&] { got = readMessageByteByByte(single, size); });
    const double fragmentsMs =
        cpuMilliseconds([&] { gotFragments = readMessageByteByByte(fragmented, size); });
    std::printf(
        "%5zu KiB  request body %8.1f ms%s | message, one frame %8.1f ms%s | in 64 KiB "
        "frames %8.1f ms%s\n",
        size >> 10, httpMs, whole ? "" : " (not read!)", wsMs, got == size ? "" : " (not read!)",
        fragmentsMs, gotFragments == size ? "" : " (not read!)");
  }
  std::printf(
      "for comparison, the whole buffer parsed again after every byte (each size 2x the last: "
      "a quadratic cost grows 4x):\n");
  for (std::size_t size : {std::size_t{16} << 10, std::size_t{32} << 10, std::size_t{64} << 10}) {
    std::printf("%5zu KiB  head %8.1f ms\n", size >> 10,
                cpuMilliseconds([&] { reparseWholeBufferByteByByte(size); }));
  }

  // The real server, over loopback, one byte per write (no coalescing on the client).
  testing::TemporaryDirectory dir;
  std::filesystem::create_directories(dir / "client");
  auto pairing = std::make_shared<PairingService>(dir / "devices.json");
  StreamingServerOptions options;
  options.preferredPort = 28797;
  options.webRoot = dir / "client";
  auto server = StreamingServer::make(pairing, options, {});
  server->start();
  testing::LoopbackClient client("127.0.0.1", server->port());
  const std::string largest = request(HTTPRequest::maxBodyLength);
  const auto start = std::chrono::steady_clock::now();
  const double socketMs = cpuMilliseconds([&] {
    for (char byte : largest) client.send(std::string_view(&byte, 1));
    client.readUntilClosed(std::chrono::seconds(30));
  });
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 1000;
  std::printf(
      "over loopback: a %zu KiB request body one byte per write: %.0f ms CPU "
      "(client and server), %.0f ms\n",
      HTTPRequest::maxBodyLength >> 10, socketMs, wall);
  server->stop();
  return 0;
}
