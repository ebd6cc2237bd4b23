// Load check of the server's HTTP side over loopback: memory held by 64 admitted connections,
// then requests per second for the web client's files. Reports figures; asserts nothing.
//
//   tavelin_bench_static [requests]     (default 20000)
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TavelinServer/StreamingServer.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace {

using namespace tavelin;

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

bool waitFor(const std::function<bool()>& condition) {
  return testing::eventually(condition, std::chrono::seconds(10));
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  testing::TemporaryDirectory dir;
  std::filesystem::create_directories(dir / "client");
  testing::writeText(dir / "client" / "index.html", std::string(2048, 'h'));
  testing::writeText(dir / "client" / "app.js", std::string(48 * 1024, 'j'));

  auto pairing = std::make_shared<PairingService>(dir / "devices.json");
  StreamingServerOptions options;
  options.preferredPort = 28787;
  options.webRoot = dir / "client";
  auto server = StreamingServer::make(pairing, options, {});
  server->start();
  const auto port = server->port();

  // 64 idle connections: eight from each of eight loopback addresses.
  const long before = residentKiB();
  std::vector<std::unique_ptr<testing::LoopbackClient>> idle;
  for (int address = 2; address <= 9; ++address) {
    for (int i = 0; i < 8; ++i) {
      idle.push_back(std::make_unique<testing::LoopbackClient>(
          "127.0.0.1", port, "127.0.0." + std::to_string(address)));
    }
  }
  waitFor([&] { return server->connectionCount() == 64; });
  const long with64 = residentKiB();
  std::printf("connections admitted: %zu\n", server->connectionCount());
  std::printf("resident memory: %ld KiB before, %ld KiB with 64 open connections (%+ld KiB)\n",
              before, with64, with64 - before);
  idle.clear();
  waitFor([&] { return server->connectionCount() == 0; });

  for (const char* file : {"/index.html", "/app.js"}) {
    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
      clients.emplace_back([&, t] {
        const std::string source = "127.0.0." + std::to_string(2 + t);
        const std::string request =
            std::string("GET ") + file + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
        while (next.fetch_add(1) < requests) {
          testing::LoopbackClient client("127.0.0.1", port, source);
          const auto response = client.send(request) ? client.readUntilClosed() : std::nullopt;
          if (!response || response->compare(0, 12, "HTTP/1.1 200") != 0) ++failed;
        }
      });
    }
    for (auto& client : clients) client.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("GET %-11s %d requests, 8 clients: %.0f requests/s, %d failed\n", file, requests,
                requests / seconds, failed.load());
  }
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory (server and clients): %ld KiB\n", usage.ru_maxrss);
  server->stop();
  return 0;
}
