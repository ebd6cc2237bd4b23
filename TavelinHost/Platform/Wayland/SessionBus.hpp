#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <systemd/sd-bus.h>
#include <thread>
#include <vector>

namespace tavelin::wayland {

// The user's session bus, shared by the Wayland adapters. sd-bus is not thread-safe, so every
// use holds the bus lock; a thread of the bus's own dispatches signals while nobody calls.
// Signal handlers run on that thread with the lock held: they read the message and hand what
// it says to someone else, and never call the bus themselves.
class SessionBus : public std::enable_shared_from_this<SessionBus> {
 public:
  // The bus of DBUS_SESSION_BUS_ADDRESS; nothing, with the reason in `why`, when there is none.
  static std::shared_ptr<SessionBus> open(std::string& why);
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  // Fills in the arguments of a call, or reads its reply; a negative errno when it cannot. Both
  // run with the bus lock held (messages share the bus's unlocked reference counts).
  using Arguments = std::function<int(sd_bus_message*)>;
  using Reader = std::function<int(sd_bus_message*)>;
  // Sends a method call, waits for its reply and hands it to `reader` (which may be empty).
  // False, with the D-Bus error (or what went wrong) in `error`, when the call fails or its
  // reply cannot be read.
  bool call(const std::string& destination, const std::string& path, const std::string& interface,
            const std::string& member, const Arguments& arguments, const Reader& reader,
            std::string& error);
  // A property of a D-Bus object, read with `reader` positioned inside its variant.
  bool property(const std::string& destination, const std::string& path,
                const std::string& interface, const std::string& name, const char* type,
                const Reader& reader, std::string& error);
  // This connection's own name on the bus (":1.42"), which portals build request paths from.
  std::string uniqueName();
  // Whether someone owns this well-known name now.
  bool hasOwner(const std::string& name);
  // Whether the object at `path` of `destination` offers `interface` (from its introspection).
  bool offers(const std::string& destination, const std::string& path,
              const std::string& interface);
  // Whether that object's `interface` has the method `member` (from its introspection).
  bool offersMethod(const std::string& destination, const std::string& path,
                    const std::string& interface, const std::string& member);

  // Signals of `interface`.`member` from `sender` at `path` (any path when empty), for as long
  // as the returned handle lives. Nothing when the match cannot
  // be added.
  using SignalHandler = std::function<void(sd_bus_message*)>;
  std::shared_ptr<void> subscribe(const std::string& sender, const std::string& path,
                                  const std::string& interface, const std::string& member,
                                  SignalHandler handler);

 private:
  SessionBus(sd_bus* bus, int wake);
  std::optional<std::string> introspect(const std::string& destination, const std::string& path);
  void run();
  void wake();

  std::recursive_mutex lock_;
  sd_bus* bus_;
  const int wake_;  // an eventfd that interrupts the dispatch thread's poll
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Whether introspection data `xml` names `interface`, and with `member` as one of its methods
// when `member` is not empty.
bool introspectionOffers(std::string_view xml, std::string_view interface,
                         std::string_view member = {});

// Appends a{sv} entries to a message under construction: `add` is called between the open and
// the close of the array, and adds each entry with `entry`.
int appendVariantDictionary(sd_bus_message* message,
                            const std::function<int(sd_bus_message*)>& add);
// One a{sv} entry whose variant holds one value of a basic type.
int appendEntry(sd_bus_message* message, const char* key, char type, const void* value);

// Readers of what the compositors answer; each returns a negative errno when the message does
// not hold what it says.
// An object path.
int readObjectPath(sd_bus_message* message, std::string& path);
// An a{sv}: `entry` gets each key with the reader before its variant, and reads the variant
// (returning > 0) or leaves it (0), which then is skipped.
int readVariantDictionary(sd_bus_message* message,
                          const std::function<int(sd_bus_message*, std::string_view key)>& entry);
// An array of strings.
int readStrings(sd_bus_message* message, std::vector<std::string>& strings);
// A file descriptor, duplicated for the caller to own (the message's own closes with it).
int readDescriptor(sd_bus_message* message, int& fd);

}  // namespace tavelin::wayland
