#include "TavelinHost/Platform/Wayland/SwayIpc.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include "TavelinKit/Foundation/Json.hpp"

namespace tavelin::wayland {

namespace {

using json::Json;
using Clock = std::chrono::steady_clock;

// A message is the magic, the payload's length and the message type (both 32 bits in the
// machine's own byte order), then the payload.
constexpr char magic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t headerSize = sizeof magic + 2 * sizeof(std::uint32_t);
// Set in the type of events, which come only to connections that subscribed.
constexpr std::uint32_t eventBit = 0x80000000u;

std::string describe(int error) { return std::generic_category().message(error); }

struct Deadline {
  Clock::time_point at;
  std::chrono::milliseconds budget;
};

// Until the socket is ready for `events`; false, with the reason, once the deadline passed.
bool waitFor(int fd, short events, const Deadline& deadline, std::string& why) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.at - Clock::now());
    if (left.count() <= 0) {
      why = "sway did not answer within " + std::to_string(deadline.budget.count()) + " ms";
      return false;
    }
    pollfd ready{fd, events, 0};
    const int status = ::poll(&ready, 1, static_cast<int>(left.count()));
    // A hang-up or an error counts as ready: the next read or write tells which.
    if (status > 0) return true;
    if (status < 0 && errno != EINTR) {
      why = "cannot wait for sway (" + describe(errno) + ")";
      return false;
    }
  }
}

bool writeAll(int fd, std::string_view bytes, const Deadline& deadline, std::string& why) {
  while (!bytes.empty()) {
    const ssize_t written = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(fd, POLLOUT, deadline, why)) return false;
    } else if (written < 0 && errno != EINTR) {
      why = "cannot write to sway (" + describe(errno) + ")";
      return false;
    }
  }
  return true;
}

bool readAll(int fd, char* into, std::size_t size, const Deadline& deadline, std::string& why) {
  while (size > 0) {
    const ssize_t got = ::recv(fd, into, size, 0);
    if (got > 0) {
      into += got;
      size -= static_cast<std::size_t>(got);
    } else if (got == 0) {
      why = "sway closed the connection";
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!waitFor(fd, POLLIN, deadline, why)) return false;
    } else if (errno != EINTR) {
      why = "cannot read from sway (" + describe(errno) + ")";
      return false;
    }
  }
  return true;
}

}  // namespace

int SwayIpc::open(const std::string& socketPath, std::string& why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty()) {
    why = "no path to sway's socket";
    return -1;
  }
  if (socketPath.size() >= sizeof address.sun_path) {
    why = "the path to sway's socket is too long: " + socketPath;
    return -1;
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  // Non-blocking, so that a compositor whose backlog is full refuses at once instead of
  // holding the caller, and every wait has a deadline.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    why = "cannot make a socket (" + describe(errno) + ")";
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    why = "cannot connect to sway at " + socketPath + " (" + describe(errno) + ")";
    ::close(fd);
    return -1;
  }
  return fd;
}

std::unique_ptr<SwayIpc> SwayIpc::connect(const std::string& socketPath, std::string& why,
                                          std::chrono::milliseconds timeout,
                                          std::chrono::milliseconds reconnectAfter) {
  const int fd = open(socketPath, why);
  if (fd < 0) return nullptr;
  return std::unique_ptr<SwayIpc>(new SwayIpc(fd, socketPath, timeout, reconnectAfter));
}

SwayIpc::~SwayIpc() {
  if (fd_ >= 0) ::close(fd_);
}

void SwayIpc::closeLocked(const std::string& why) {
  ::close(fd_);
  fd_ = -1;
  closedBecause_ = why;
  closedAt_ = Clock::now();
}

std::optional<std::string> SwayIpc::exchange(std::uint32_t type, std::string_view payload,
                                             std::string& why) {
  if (payload.size() > payloadLimit) {
    why = "a request of " + std::to_string(payload.size()) + " bytes is larger than the " +
          std::to_string(payloadLimit) + " bytes sway is sent";
    return std::nullopt;
  }
  std::lock_guard guard(lock_);
  if (fd_ < 0 && Clock::now() - closedAt_ >= reconnectAfter_) {
    std::string failed;
    fd_ = open(path_, failed);
    if (fd_ < 0) {
      closedBecause_ = failed;
      closedAt_ = Clock::now();
    }
  }
  if (fd_ < 0) {
    why = "the connection to sway is closed after an earlier failure: " + closedBecause_;
    return std::nullopt;
  }
  const Deadline deadline{Clock::now() + timeout_, timeout_};
  const auto length = static_cast<std::uint32_t>(payload.size());
  std::string message(headerSize, '\0');
  std::memcpy(message.data(), magic, sizeof magic);
  std::memcpy(message.data() + sizeof magic, &length, sizeof length);
  std::memcpy(message.data() + sizeof magic + sizeof length, &type, sizeof type);
  message.append(payload);
  if (!writeAll(fd_, message, deadline, why)) {
    closeLocked(why);
    return std::nullopt;
  }
  for (;;) {
    char header[headerSize];
    if (!readAll(fd_, header, headerSize, deadline, why)) {
      closeLocked(why);
      return std::nullopt;
    }
    if (std::memcmp(header, magic, sizeof magic) != 0) {
      why = "sway's reply is not an IPC message";
      closeLocked(why);
      return std::nullopt;
    }
    std::uint32_t replyLength = 0, replyType = 0;
    std::memcpy(&replyLength, header + sizeof magic, sizeof replyLength);
    std::memcpy(&replyType, header + sizeof magic + sizeof replyLength, sizeof replyType);
    if (replyLength > payloadLimit) {
      why = "sway's reply of " + std::to_string(replyLength) + " bytes is larger than the " +
            std::to_string(payloadLimit) + " bytes accepted";
      closeLocked(why);
      return std::nullopt;
    }
    std::string reply(replyLength, '\0');
    if (!readAll(fd_, reply.data(), reply.size(), deadline, why)) {
      closeLocked(why);
      return std::nullopt;
    }
    if ((replyType & eventBit) != 0) continue;  // an event, not the reply
    if (replyType != type) {
      why = "sway answered a message of type " + std::to_string(type) + " with type " +
            std::to_string(replyType);
      closeLocked(why);
      return std::nullopt;
    }
    return reply;
  }
}

std::optional<Json> SwayIpc::request(std::uint32_t type, std::string_view payload,
                                     std::string& why) {
  const auto reply = exchange(type, payload, why);
  if (!reply) return std::nullopt;
  auto document = json::parse(*reply);
  if (!document) why = "sway's reply is not JSON";
  return document;
}

bool SwayIpc::command(const std::string& text, std::string& why) {
  const auto reply = request(runCommand, text, why);
  if (!reply) return false;
  if (!reply->is_array()) {
    why = "sway's answer to a command is not a list";
    return false;
  }
  std::string errors;
  for (const auto& result : *reply) {
    if (json::readBool(result, "success").value_or(false)) continue;
    if (!errors.empty()) errors += "; ";
    errors += json::readString(result, "error").value_or("a command failed");
  }
  if (errors.empty()) return true;
  why = errors;
  return false;
}

bool SwayIpc::focusWindow(std::int64_t conID, std::string& why) {
  return command("[con_id=" + std::to_string(conID) + "] focus", why);
}

bool SwayIpc::createOutput(std::string& why) { return command("create_output", why); }

namespace {

// A string member by reference into the document; nothing when it is absent or no string.
const std::string* text(const Json& object, std::string_view key) {
  const Json* value = json::member(object, key);
  return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

ScreenRect readRect(const Json& object) {
  const Json* rect = json::member(object, "rect");
  if (rect == nullptr) return {};
  const auto x = json::readDouble(*rect, "x"), y = json::readDouble(*rect, "y"),
             width = json::readDouble(*rect, "width"), height = json::readDouble(*rect, "height");
  if (!x || !y || !width || !height) return {};
  return {*x, *y, *width, *height};
}

}  // namespace

std::vector<SwayWindow> swayWindows(const Json& tree) {
  // Walked with a stack of its own: the depth of the tree is the sender's to choose.
  struct Pending {
    const Json* node;
    const std::string* output;
    bool floating;
  };
  static const std::string noOutput;
  std::vector<SwayWindow> windows;
  std::vector<Pending> pending{{&tree, &noOutput, false}};
  while (!pending.empty()) {
    const Pending at = pending.back();
    pending.pop_back();
    if (!at.node->is_object()) continue;
    const Json& node = *at.node;
    const std::string* type = text(node, "type");
    const std::string* output = at.output;
    if (type != nullptr && *type == "output") {
      if (const std::string* name = text(node, "name")) output = name;
    }
    const bool floating = at.floating || (type != nullptr && *type == "floating_con");
    const auto id = json::readInteger<std::int64_t>(node, "id");
    const auto pid = json::readInteger<std::int32_t>(node, "pid");
    if (type != nullptr && (*type == "con" || *type == "floating_con") && id && pid) {
      SwayWindow window;
      window.conID = *id;
      window.pid = *pid;
      if (const std::string* appID = text(node, "app_id")) {
        window.appID = *appID;
      } else if (const Json* properties = json::member(node, "window_properties")) {
        // X11 windows have no app id; their class stands in, as it does on X11.
        if (const std::string* windowClass = text(*properties, "class"))
          window.appID = *windowClass;
      }
      if (const std::string* title = text(node, "name")) window.title = *title;
      window.rect = readRect(node);
      window.focused = json::readBool(node, "focused").value_or(false);
      window.visible = json::readBool(node, "visible").value_or(false);
      window.floating = floating;
      window.output = *output;
      windows.push_back(std::move(window));
    }
    // Pushed last to first, so that the first child is taken next: the tree's own order.
    for (const auto& [key, childFloating] :
         {std::pair{"floating_nodes", true}, std::pair{"nodes", false}}) {
      const Json* children = json::member(node, key);
      if (children == nullptr || !children->is_array()) continue;
      for (auto child = children->rbegin(); child != children->rend(); ++child) {
        pending.push_back({&*child, output, floating || childFloating});
      }
    }
  }
  return windows;
}

std::vector<SwayOutput> swayOutputs(const Json& outputs) {
  std::vector<SwayOutput> found;
  if (!outputs.is_array()) return found;
  for (const auto& entry : outputs) {
    const std::string* name = text(entry, "name");
    if (name == nullptr) continue;
    SwayOutput output;
    output.name = *name;
    output.active = json::readBool(entry, "active").value_or(false);
    output.rect = readRect(entry);
    // Inactive outputs have no scale of their own.
    const double scale = json::readDouble(entry, "scale").value_or(1);
    output.scale = std::isfinite(scale) && scale > 0 ? scale : 1;
    found.push_back(std::move(output));
  }
  return found;
}

}  // namespace tavelin::wayland
