#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tavelin::testing {

// A plain blocking TCP client for talking to the server over loopback.
class LoopbackClient {
 public:
  // Connects to host:port, from `source` (another 127.x address) when given, with a receive
  // buffer of `receiveBuffer` bytes when given (the kernel doubles it and keeps a minimum).
  LoopbackClient(const std::string& host, std::uint16_t port, const std::string& source = {},
                 int receiveBuffer = 0) {
    const bool v6 = host.find(':') != std::string::npos;
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (!source.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    if (v6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons(port);
      ::inet_pton(AF_INET6, host.c_str(), &address.sin6_addr);
      connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(port);
      ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
      connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
  }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;
  ~LoopbackClient() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool connected() const { return connected_; }

  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // Drops the connection with a reset, as a phone that vanished mid-write looks to the server.
  void reset() {
    const linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd_);
    fd_ = -1;
  }

  // Tells the server nothing more will come (half-close).
  void finishSending() { ::shutdown(fd_, SHUT_WR); }

  // Everything until the server closes, or nothing if it has not closed within `limit`.
  std::optional<std::string> readUntilClosed(
      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd wait{fd_, POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char buffer[16384];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return received;  // closed (or reset)
      received.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Reads until `done(received)` holds; false on close or time-out. Bytes beyond stay in
  // `received` for the next call.
  template <typename Done>
  bool readUntil(std::string& received, Done done,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done(received)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd wait{fd_, POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[65536];
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      received.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  }

  // At most `limit` bytes that are there within `wait`; empty when none came, nothing once the
  // server closed.
  std::optional<std::string> readSome(std::size_t limit, std::chrono::milliseconds wait) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return std::string();
    std::string bytes(limit, '\0');
    const ssize_t got = ::recv(fd_, bytes.data(), limit, 0);
    if (got <= 0) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
  }

  // Whether the server closed the connection within `limit` without sending anything.
  bool closedSilently(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto rest = readUntilClosed(limit);
    return rest && rest->empty();
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// Polls `condition` until it holds or `limit` passes; for state another thread settles.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Log lines from any thread, with a wait for a line to show up. The sink shares its state, so
// a server that logs after the test's fixture is gone writes into a live object.
class LogRecorder {
 public:
  std::function<void(const std::string&)> sink() {
    return [state = state_](const std::string& line) {
      std::lock_guard guard(state->lock);
      state->lines.push_back(line);
      state->changed.notify_all();
    };
  }
  bool waitFor(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, limit, [&] {
      return std::find(state_->lines.begin(), state_->lines.end(), line) != state_->lines.end();
    });
  }
  std::vector<std::string> lines() {
    std::lock_guard guard(state_->lock);
    return state_->lines;
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tavelin::testing
