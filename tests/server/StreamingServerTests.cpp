#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <thread>

#include "TavelinServer/StreamingServer.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackClient;

// A listening socket on all interfaces, as another program holding a port would have.
class PortHolder {
 public:
  explicit PortHolder(std::uint16_t port) {
    fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(fd_, 4) == 0;
  }
  ~PortHolder() { ::close(fd_); }
  bool bound() const { return bound_; }

 private:
  int fd_;
  bool bound_ = false;
};

class StreamingServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeText(root / "index.html", "<!doctype html><title>Tavelin</title>");
    std::filesystem::create_directories(root / "css");
    testing::writeText(root / "css" / "app.css", "body{}");
    testing::writeText(dir / "secret", "not for phones");
  }
  void TearDown() override {
    if (server) server->stop();
  }

  std::shared_ptr<StreamingServer> startServer(StreamingServerOptions options = {}) {
    options.webRoot = root;
    if (options.preferredPort == StreamingServerOptions{}.preferredPort)
      options.preferredPort = freePort();
    server = StreamingServer::make(pairing, options, log.sink());
    server->start();
    return server;
  }

  // A port nobody listens on now, and whose successor is free too.
  static std::uint16_t freePort() {
    for (std::uint16_t port = 20000 + static_cast<std::uint16_t>(::getpid() % 20000);; port += 7) {
      PortHolder a(port), b(static_cast<std::uint16_t>(port + 1));
      if (a.bound() && b.bound()) return port;
    }
  }

  std::string get(const std::string& target, const std::string& headers = "") {
    LoopbackClient client("127.0.0.1", server->port());
    const std::string host = "Host: localhost:" + std::to_string(server->port()) + "\r\n";
    client.send("GET " + target + " HTTP/1.1\r\n" + host + headers + "\r\n");
    return client.readUntilClosed().value_or("(still open)");
  }

  static int statusOf(const std::string& response) {
    return response.size() > 12 ? std::stoi(response.substr(9, 3)) : 0;
  }
  static std::string bodyOf(const std::string& response) {
    const auto end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
  }

  testing::TemporaryDirectory dir;
  std::filesystem::path root = dir / "client";
  testing::LogRecorder log;
  std::shared_ptr<PairingService> pairing = std::make_shared<PairingService>(dir / "devices.json");
  std::shared_ptr<StreamingServer> server;

 private:
  bool made_ = std::filesystem::create_directories(dir / "client");
};

TEST_F(StreamingServerTest, TakesTheNextPortWhenThePreferredOneIsHeld) {
  const std::uint16_t preferred = freePort();
  PortHolder holder(preferred);
  ASSERT_TRUE(holder.bound());
  StreamingServerOptions options;
  options.preferredPort = preferred;
  startServer(options);
  EXPECT_EQ(server->port(), preferred + 1);
  EXPECT_TRUE(server->isRunning());
  EXPECT_TRUE(log.waitFor("Server started on port " + std::to_string(preferred + 1)));
  server->start();  // running: nothing happens
  EXPECT_EQ(server->port(), preferred + 1);
  const auto lines = log.lines();
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [](const std::string& line) { return line.starts_with("Server started"); }),
      1);

  // Another server finds both taken and moves on again; a stopped server frees its port.
  options.webRoot = root;
  auto second = StreamingServer::make(pairing, options, {});
  second->start();
  EXPECT_EQ(second->port(), preferred + 2);
  second->stop();
  EXPECT_FALSE(second->isRunning());
}

TEST_F(StreamingServerTest, FailsWhenNoPortOfTheRangeIsFree) {
  const std::uint16_t top = 65535;
  PortHolder holder(top);
  if (!holder.bound()) GTEST_SKIP() << "port 65535 is in use here";
  StreamingServerOptions options;
  options.preferredPort = top;
  options.webRoot = root;
  auto blocked = StreamingServer::make(pairing, options, {});
  EXPECT_THROW(blocked->start(), std::system_error);  // and never wraps past 65535
  EXPECT_FALSE(blocked->isRunning());
}

TEST_F(StreamingServerTest, ServesTheWebClientWithSafeHeaders) {
  startServer();
  const std::string response = get("/");
  EXPECT_EQ(statusOf(response), 200);
  EXPECT_EQ(bodyOf(response), "<!doctype html><title>Tavelin</title>");
  for (const char* header :
       {"Content-Type: text/html; charset=utf-8\r\n", "Cache-Control: no-cache\r\n",
        "Connection: close\r\n", "X-Frame-Options: DENY\r\n",
        "Content-Security-Policy: frame-ancestors 'none'\r\n",
        "X-Content-Type-Options: nosniff\r\n", "Referrer-Policy: no-referrer\r\n"}) {
    EXPECT_NE(response.find(header), std::string::npos) << header;
  }
  const std::string css = get("/css/app.css");
  EXPECT_NE(css.find("Content-Type: text/css; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(css), "body{}");
  EXPECT_EQ(statusOf(get("//css//app.css")), 200);
}

TEST_F(StreamingServerTest, NeverServesAnythingOutsideTheWebRoot) {
  startServer();
  for (const char* target : {"/../secret", "/a/../../x", "/%2e%2e/secret", "/css/", "/css",
                             "/missing.html", "/css/..%2f..%2fsecret", "/%2F..%2Fsecret"}) {
    const std::string response = get(target);
    EXPECT_EQ(statusOf(response), 404) << target;
    EXPECT_EQ(bodyOf(response), "Not found") << target;
  }
  // A path that decodes to a control byte is refused: a NUL would cut the file name short.
  testing::writeText(root / "app.js", "script");
  for (const char* target :
       {"/app.js%00.html", "/app.js%00", "/%0d%0aSet-Cookie:x", "/a%7f", "/index.html%09"}) {
    const std::string response = get(target);
    EXPECT_EQ(statusOf(response), 400) << target;
    EXPECT_EQ(response.find("script"), std::string::npos) << target;
  }
}

TEST_F(StreamingServerTest, ChecksHostAndOriginBeforeAnythingElse) {
  startServer();
  const std::string port = std::to_string(server->port());
  struct Case {
    std::string headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"Host: localhost:" + port + "\r\n", 200},
      {"Host: [::1]:" + port + "\r\n", 200},
      {"Host: 127.0.0.1\r\n", 200},
      {"Host: LOCALHOST:" + port + "\r\n", 200},
      {"Host: evil.example:" + port + "\r\n", 403},
      {"Host: 192.0.2.7:" + port + "\r\n", 403},
      {"", 403},
      {"Host: localhost\r\nOrigin: null\r\n", 200},
      {"Host: localhost\r\nOrigin: \r\n", 200},
      {"Host: localhost\r\nOrigin: http://localhost:" + port + "\r\n", 200},
      {"Host: localhost\r\nOrigin: http://127.0.0.1:" + port + "/page\r\n", 200},
      {"Host: localhost\r\nOrigin: http://[::1]:" + port + "\r\n", 200},
      {"Host: localhost\r\nOrigin: http://[::1:" + port + "\r\n", 403},
      {"Host: localhost\r\nOrigin: https://localhost\r\n", 403},
      {"Host: localhost\r\nOrigin: http://localhost\r\n", 403},
      {"Host: localhost\r\nOrigin: ftp://localhost:" + port + "\r\n", 403},
      {"Host: localhost\r\nOrigin: http://evil.example:" + port + "\r\n", 403},
      {"Host: localhost\r\nOrigin: garbage\r\n", 403},
      {"Host: localhost\r\nOrigin: http://localhost:" + port + "x\r\n", 403},
  };
  for (const auto& c : cases) {
    LoopbackClient client("127.0.0.1", server->port());
    client.send("GET / HTTP/1.1\r\n" + c.headers + "\r\n");
    const std::string response = client.readUntilClosed().value_or("");
    EXPECT_EQ(statusOf(response), c.status) << c.headers;
    if (c.status == 403) {
      EXPECT_EQ(bodyOf(response), "Forbidden");
    }
  }
}

TEST_F(StreamingServerTest, RefusesMethodsItDoesNotServe) {
  startServer();
  const std::string host = "Host: localhost\r\n";
  for (const char* request : {"PUT / HTTP/1.1\r\n", "POST /index.html HTTP/1.1\r\n",
                              "DELETE /api/pair HTTP/1.1\r\n", "POST /anything HTTP/1.1\r\n"}) {
    LoopbackClient client("127.0.0.1", server->port());
    client.send(std::string(request) + host + "\r\n");
    const std::string response = client.readUntilClosed().value_or("");
    EXPECT_EQ(response.substr(0, 35), "HTTP/1.1 405 Method Not Allowed\r\nCo") << request;
    EXPECT_EQ(bodyOf(response), "Method not allowed");
  }
}

TEST_F(StreamingServerTest, AnswersOneRequestPerConnectionAlsoWhenItArrivesInPieces) {
  startServer();
  LoopbackClient client("127.0.0.1", server->port());
  const std::string request =
      "GET /css/app.css HTTP/1.1\r\nHost: localhost\r\nUser-Agent: slow\r\n\r\n";
  for (char byte : request) {
    ASSERT_TRUE(client.send(std::string(1, byte)));
    std::this_thread::sleep_for(1ms);
  }
  client.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");  // a second request is never answered
  const auto response = client.readUntilClosed();
  ASSERT_TRUE(response);
  EXPECT_EQ(bodyOf(*response), "body{}");
  EXPECT_EQ(response->find("HTTP/1.1", 1), std::string::npos);
}

TEST_F(StreamingServerTest, ClosesWithoutAnswerOnGarbageOversizeOrSilence) {
  StreamingServerOptions options;
  options.httpDeadline = 300ms;
  startServer(options);
  {
    LoopbackClient client("127.0.0.1", server->port());
    client.send("GET\r\n\r\n");
    EXPECT_TRUE(client.closedSilently());
  }
  {
    LoopbackClient client("127.0.0.1", server->port());
    client.send(std::string(81921, 'a'));
    EXPECT_TRUE(client.closedSilently());
  }
  {
    // The deadline runs from admission, which follows the connect: time from before it.
    const auto start = std::chrono::steady_clock::now();
    LoopbackClient client("127.0.0.1", server->port());
    EXPECT_TRUE(client.closedSilently());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  }
  {
    // Slow but steady is no excuse: the deadline holds whatever the client is doing.
    LoopbackClient client("127.0.0.1", server->port());
    client.send("GET / HTTP/1.1\r\n");
    std::this_thread::sleep_for(150ms);
    client.send("Host: localhost\r\n");
    EXPECT_TRUE(client.closedSilently());
  }
  EXPECT_EQ(StreamingServerOptions{}.httpDeadline, 15s);
  EXPECT_TRUE(testing::eventually([&] { return server->connectionCount() == 0; }));
}

TEST_F(StreamingServerTest, AClientThatFloodsWhileNotReadingIsCutOff) {
  // A response far larger than the socket buffers, to a client that never reads it but keeps
  // sending: the server must not buffer what it sends until the deadline.
  testing::writeText(root / "big.bin", std::string(32 << 20, 'b'));
  startServer();
  LoopbackClient client("127.0.0.1", server->port());
  client.send("GET /big.bin HTTP/1.1\r\nHost: localhost\r\n\r\n");
  const std::string junk(65536, 'j');
  const auto start = std::chrono::steady_clock::now();
  bool cutOff = false;
  for (int i = 0; i < 64 && !cutOff; ++i) cutOff = !client.send(junk);
  EXPECT_TRUE(cutOff || testing::eventually([&] { return server->connectionCount() == 0; }, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(StreamingServerTest, LimitsConnectionsPerAddressAndInAll) {
  startServer();
  std::vector<std::unique_ptr<LoopbackClient>> open;
  // Eight from each of eight loopback addresses fill the server.
  for (int address = 2; address <= 9; ++address) {
    for (int i = 0; i < 8; ++i) {
      open.push_back(std::make_unique<LoopbackClient>("127.0.0.1", server->port(),
                                                      "127.0.0." + std::to_string(address)));
      ASSERT_TRUE(open.back()->connected());
    }
    if (address == 2) {
      LoopbackClient ninth("127.0.0.1", server->port(), "127.0.0.2");
      EXPECT_TRUE(ninth.closedSilently());
      EXPECT_TRUE(log.waitFor("Network error: per-peer connection limit reached for 127.0.0.2"));
    }
  }
  EXPECT_TRUE(testing::eventually([&] { return server->connectionCount() == 64; }));
  LoopbackClient sixtyFifth("127.0.0.1", server->port(), "127.0.0.10");
  EXPECT_TRUE(sixtyFifth.closedSilently());
  EXPECT_TRUE(
      log.waitFor("Network error: connection limit reached \u2014 refusing a new connection"));

  // A slot that frees up can be used again.
  open.pop_back();
  EXPECT_TRUE(testing::eventually([&] { return server->connectionCount() == 63; }));
  LoopbackClient again("127.0.0.1", server->port(), "127.0.0.10");
  again.send("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(statusOf(again.readUntilClosed().value_or("")), 200);
}

TEST_F(StreamingServerTest, SpeaksIPv6AndStopsCleanly) {
  startServer();
  LoopbackClient client("::1", server->port());
  if (!client.connected()) GTEST_SKIP() << "no IPv6 loopback here";
  client.send("GET / HTTP/1.1\r\nHost: [::1]:" + std::to_string(server->port()) + "\r\n\r\n");
  EXPECT_EQ(statusOf(client.readUntilClosed().value_or("")), 200);

  LoopbackClient idle("127.0.0.1", server->port());
  EXPECT_TRUE(testing::eventually([&] { return server->connectionCount() == 1; }));
  server->stop();
  EXPECT_FALSE(server->isRunning());
  EXPECT_TRUE(idle.closedSilently());
  EXPECT_EQ(server->connectionCount(), 0u);
  LoopbackClient refused("127.0.0.1", server->port());
  EXPECT_FALSE(refused.connected());
}

}  // namespace
}  // namespace tavelin
