#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"

namespace tavelin {

struct DeviceEvent {
  enum class Kind { paired, connected, disconnected };

  Uuid id;
  Uuid deviceID;
  Kind kind = Kind::paired;
  Date at;

  friend bool operator==(const DeviceEvent&, const DeviceEvent&) = default;
};

std::string_view rawValue(DeviceEvent::Kind kind);

// The history file: a pretty-printed JSON array of events with sorted keys, oldest first.
std::optional<std::string> encodeDeviceHistory(const std::vector<DeviceEvent>& events);
std::optional<std::vector<DeviceEvent>> decodeDeviceHistory(std::string_view text);

// What each paired phone did: when it paired, connected and disconnected. Bounded per device
// and overall, persisted after every change. Any thread; onChange runs after the lock is
// released, and only when something changed.
class DeviceHistoryStore {
 public:
  static constexpr std::size_t maxEventsPerDevice = 200;
  static constexpr std::size_t maxEvents = 2000;

  // A file that does not decode is kept aside and the history starts empty.
  explicit DeviceHistoryStore(StoredFile file);

  // A connected right after a connected (or disconnected after disconnected) of the same
  // device records nothing.
  void record(const Uuid& deviceID, DeviceEvent::Kind kind, Date at);
  std::vector<DeviceEvent> events(const Uuid& deviceID) const;
  std::size_t connectionCount(const Uuid& deviceID) const;
  void removeAll(const Uuid& deviceID);
  void removeAll();

  std::function<void()> onChange;

 private:
  void pruneLocked(const Uuid& deviceID);
  void saveLocked() const;

  const StoredFile file_;
  mutable std::mutex lock_;
  std::vector<DeviceEvent> events_;  // in recording order
};

}  // namespace tavelin
