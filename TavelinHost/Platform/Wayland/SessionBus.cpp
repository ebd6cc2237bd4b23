#include "TavelinHost/Platform/Wayland/SessionBus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavelin::wayland {

namespace {

// Longest a call waits for its reply: a portal's dialog answers through a signal, never here,
// so every reply comes quickly or not at all.
constexpr std::uint64_t callTimeoutMicroseconds = 10'000'000;

std::string describe(int negativeErrno) { return std::strerror(-negativeErrno); }

}  // namespace

std::shared_ptr<SessionBus> SessionBus::open(std::string& why) {
  sd_bus* bus = nullptr;
  if (const int status = sd_bus_open_user(&bus); status < 0) {
    why = "cannot connect to the session bus (" + describe(status) + ")";
    return nullptr;
  }
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    sd_bus_flush_close_unref(bus);
    why = "cannot make an eventfd";
    return nullptr;
  }
  return std::shared_ptr<SessionBus>(new SessionBus(bus, wake));
}

SessionBus::SessionBus(sd_bus* bus, int wake) : bus_(bus), wake_(wake) {
  thread_ = std::thread([this] { run(); });
}

SessionBus::~SessionBus() {
  stopping_ = true;
  wake();
  thread_.join();
  sd_bus_flush_close_unref(bus_);
  ::close(wake_);
}

void SessionBus::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
}

// Dispatches what arrived, then sleeps until the socket or a caller has something new. A call
// made meanwhile reads the socket itself and queues what is not its reply; it wakes this
// thread afterwards so that those messages are dispatched too.
void SessionBus::run() {
  while (!stopping_) {
    pollfd fds[2] = {{-1, 0, 0}, {wake_, POLLIN, 0}};
    int timeout = -1;
    {
      std::lock_guard guard(lock_);
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
      fds[0].fd = sd_bus_get_fd(bus_);
      const int events = sd_bus_get_events(bus_);
      fds[0].events = static_cast<short>(events < 0 ? 0 : events);
      std::uint64_t until = 0;
      if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
        timeout = 100;  // a pending timeout inside sd-bus; look again soon
      }
    }
    if (fds[0].fd < 0) return;  // the connection is gone
    ::poll(fds, 2, timeout);
    std::uint64_t drained = 0;
    [[maybe_unused]] const auto read = ::read(wake_, &drained, sizeof drained);
  }
}

bool SessionBus::call(const std::string& destination, const std::string& path,
                      const std::string& interface, const std::string& member,
                      const Arguments& arguments, const Reader& reader, std::string& error) {
  bool answered = false;
  {
    std::lock_guard guard(lock_);
    sd_bus_message* message = nullptr;
    int status = sd_bus_message_new_method_call(bus_, &message, destination.c_str(), path.c_str(),
                                                interface.c_str(), member.c_str());
    if (status >= 0 && arguments) status = arguments(message);
    if (status < 0) {
      error = "cannot make the " + member + " call (" + describe(status) + ")";
    } else {
      sd_bus_error failure{};  // what SD_BUS_ERROR_NULL spells in C
      sd_bus_message* reply = nullptr;
      status = sd_bus_call(bus_, message, callTimeoutMicroseconds, &failure, &reply);
      if (status < 0) {
        error = failure.name
                    ? std::string(failure.name) + ": " + (failure.message ? failure.message : "")
                    : describe(status);
      } else if (reader && (status = reader(reply)) < 0) {
        error = "cannot read the answer to " + member + " (" + describe(status) + ")";
      } else {
        answered = true;
      }
      sd_bus_error_free(&failure);
      sd_bus_message_unref(reply);
    }
    sd_bus_message_unref(message);
  }
  wake();
  return answered;
}

bool SessionBus::property(const std::string& destination, const std::string& path,
                          const std::string& interface, const std::string& name, const char* type,
                          const Reader& reader, std::string& error) {
  return call(
      destination, path, "org.freedesktop.DBus.Properties", "Get",
      [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "ss", interface.c_str(), name.c_str());
      },
      [&](sd_bus_message* m) {
        int status = sd_bus_message_enter_container(m, 'v', type);
        if (status >= 0) status = reader(m);
        if (status >= 0) status = sd_bus_message_exit_container(m);
        return status;
      },
      error);
}

std::string SessionBus::uniqueName() {
  std::lock_guard guard(lock_);
  const char* name = nullptr;
  return sd_bus_get_unique_name(bus_, &name) >= 0 && name ? name : "";
}

bool SessionBus::hasOwner(const std::string& name) {
  std::string error;
  int owned = 0;
  return call(
             "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "NameHasOwner",
             [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", name.c_str()); },
             [&](sd_bus_message* m) { return sd_bus_message_read(m, "b", &owned); }, error) &&
         owned != 0;
}

std::optional<std::string> SessionBus::introspect(const std::string& destination,
                                                  const std::string& path) {
  std::string error, xml;
  const bool answered = call(
      destination, path, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr,
      [&](sd_bus_message* m) {
        const char* text = nullptr;
        const int status = sd_bus_message_read(m, "s", &text);
        if (status >= 0 && text) xml = text;
        return status;
      },
      error);
  if (!answered) return std::nullopt;
  return xml;
}

bool SessionBus::offers(const std::string& destination, const std::string& path,
                        const std::string& interface) {
  const auto xml = introspect(destination, path);
  return xml && introspectionOffers(*xml, interface);
}

bool SessionBus::offersMethod(const std::string& destination, const std::string& path,
                              const std::string& interface, const std::string& member) {
  const auto xml = introspect(destination, path);
  return xml && introspectionOffers(*xml, interface, member);
}

bool introspectionOffers(std::string_view xml, std::string_view interface,
                         std::string_view member) {
  const std::string opening = "<interface name=\"" + std::string(interface) + "\"";
  const std::size_t begin = xml.find(opening);
  if (begin == std::string_view::npos) return false;
  if (member.empty()) return true;
  // The interface's own methods only: up to its closing tag, not the next interface's.
  const std::size_t end = xml.find("</interface>", begin);
  const std::string_view body =
      xml.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
  return body.find("<method name=\"" + std::string(member) + "\"") != std::string_view::npos;
}

namespace {

struct Subscription {
  SessionBus::SignalHandler handler;
  sd_bus_slot* slot = nullptr;
};

int dispatchSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  static_cast<Subscription*>(userdata)->handler(message);
  return 0;
}

}  // namespace

std::shared_ptr<void> SessionBus::subscribe(const std::string& sender, const std::string& path,
                                            const std::string& interface, const std::string& member,
                                            SignalHandler handler) {
  auto subscription = std::make_shared<Subscription>();
  subscription->handler = std::move(handler);
  std::lock_guard guard(lock_);
  if (sd_bus_match_signal(bus_, &subscription->slot, sender.empty() ? nullptr : sender.c_str(),
                          path.empty() ? nullptr : path.c_str(), interface.c_str(), member.c_str(),
                          dispatchSignal, subscription.get()) < 0) {
    return nullptr;
  }
  // Dropping the handle removes the match under the lock, so no handler runs after that. A bus
  // that closed first has already disconnected its slots, which are then only freed.
  return std::shared_ptr<void>(subscription.get(), [weak = weak_from_this(), subscription](void*) {
    if (const auto bus = weak.lock()) {
      std::lock_guard inner(bus->lock_);
      sd_bus_slot_unref(subscription->slot);
    } else {
      sd_bus_slot_unref(subscription->slot);
    }
  });
}

int appendVariantDictionary(sd_bus_message* message,
                            const std::function<int(sd_bus_message*)>& add) {
  int status = sd_bus_message_open_container(message, 'a', "{sv}");
  if (status >= 0 && add) status = add(message);
  if (status >= 0) status = sd_bus_message_close_container(message);
  return status;
}

int appendEntry(sd_bus_message* message, const char* key, char type, const void* value) {
  const char contents[2] = {type, '\0'};
  int status = sd_bus_message_open_container(message, 'e', "sv");
  if (status >= 0) status = sd_bus_message_append_basic(message, 's', key);
  if (status >= 0) status = sd_bus_message_open_container(message, 'v', contents);
  if (status >= 0) status = sd_bus_message_append_basic(message, type, value);
  if (status >= 0) status = sd_bus_message_close_container(message);
  if (status >= 0) status = sd_bus_message_close_container(message);
  return status;
}

int readObjectPath(sd_bus_message* message, std::string& path) {
  const char* text = nullptr;
  const int status = sd_bus_message_read(message, "o", &text);
  if (status >= 0 && text) path = text;
  return status;
}

int readVariantDictionary(sd_bus_message* message,
                          const std::function<int(sd_bus_message*, std::string_view key)>& entry) {
  int status = sd_bus_message_enter_container(message, 'a', "{sv}");
  while (status >= 0 && (status = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    status = sd_bus_message_read(message, "s", &key);
    if (status >= 0) status = entry(message, key ? key : "");
    if (status == 0) status = sd_bus_message_skip(message, "v");
    if (status >= 0) status = sd_bus_message_exit_container(message);
  }
  if (status >= 0) status = sd_bus_message_exit_container(message);
  return status;
}

int readStrings(sd_bus_message* message, std::vector<std::string>& strings) {
  int status = sd_bus_message_enter_container(message, 'a', "s");
  const char* text = nullptr;
  while (status >= 0 && (status = sd_bus_message_read(message, "s", &text)) > 0) {
    strings.emplace_back(text);
  }
  if (status >= 0) status = sd_bus_message_exit_container(message);
  return status;
}

int readDescriptor(sd_bus_message* message, int& fd) {
  int handle = -1;
  const int status = sd_bus_message_read(message, "h", &handle);
  if (status < 0) return status;
  fd = ::fcntl(handle, F_DUPFD_CLOEXEC, 3);
  return fd < 0 ? -errno : status;
}

}  // namespace tavelin::wayland
