// The stream socket end to end: a live server on loopback receives an upgrade request with a
// valid ticket, followed by the fuzzer's bytes (more headers, then frames), and must neither
// crash nor leak whatever follows. Each input is one connection.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "TavelinServer/ClientSession.hpp"
#include "TavelinServer/StreamingServer.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/WholePicture.hpp"

namespace {

using namespace tavelin;
using tavelin::testing::wholePicture;

struct Fixture {
  Fixture() {
    directory =
        std::filesystem::temp_directory_path() / ("tavelin-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    pairing = std::make_shared<PairingService>(directory / "devices.json");
    device = pairing->issueToken("Fuzz").device;
    StreamingServerOptions options;
    options.preferredPort = static_cast<std::uint16_t>(45000 + ::getpid() % 10000);
    options.webRoot = directory;
    server = StreamingServer::make(pairing, options, {});
    server->onInput = [](const auto& session, const InputMessage& message) {
      if (message.type == "selectportal") session->setCurrentPortalID(Uuid::random());
    };
    server->start();
  }
  std::filesystem::path directory;
  std::shared_ptr<PairingService> pairing;
  PairedDevice device;
  std::shared_ptr<StreamingServer> server;
};

Fixture& fixture() {
  static Fixture* instance = new Fixture();  // lives for the whole run
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& f = fixture();
  testing::LoopbackClient client("127.0.0.1", f.server->port());
  if (!client.connected()) return 0;
  const std::string head = "GET /ws?ticket=" + f.server->tickets().issue(f.device.id) +
                           " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\n";
  client.send(head + std::string(reinterpret_cast<const char*>(data), size));
  for (const auto& session : f.server->sessions()) {
    if (const auto portal = session->currentPortalID()) {
      f.server->sendFrame(wholePicture(Bytes(64, 0xAB)), *portal);
    }
  }
  client.finishSending();
  client.readUntilClosed(std::chrono::seconds(2));
  return 0;
}
