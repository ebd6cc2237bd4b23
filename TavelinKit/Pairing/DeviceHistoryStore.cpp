#include "TavelinKit/Pairing/DeviceHistoryStore.hpp"

#include <algorithm>

#include "TavelinKit/Foundation/Json.hpp"

namespace tavelin {

using json::Json;

std::string_view rawValue(DeviceEvent::Kind kind) {
  switch (kind) {
    case DeviceEvent::Kind::paired: return "paired";
    case DeviceEvent::Kind::connected: return "connected";
    case DeviceEvent::Kind::disconnected: return "disconnected";
  }
  return {};
}

namespace {

std::optional<DeviceEvent::Kind> kindFromRaw(std::string_view raw) {
  for (auto kind :
       {DeviceEvent::Kind::paired, DeviceEvent::Kind::connected, DeviceEvent::Kind::disconnected}) {
    if (rawValue(kind) == raw) return kind;
  }
  return std::nullopt;
}

std::optional<Uuid> readUuid(const Json& object, std::string_view key) {
  const auto text = json::readString(object, key);
  return text ? Uuid::parse(*text) : std::nullopt;
}

}  // namespace

std::optional<std::string> encodeDeviceHistory(const std::vector<DeviceEvent>& events) {
  return json::encodeArray(events, [](const DeviceEvent& event) {
    return Json{{"id", event.id.string()},
                {"deviceID", event.deviceID.string()},
                {"kind", rawValue(event.kind)},
                {"at", formatISO8601(event.at)}};
  });
}

std::optional<std::vector<DeviceEvent>> decodeDeviceHistory(std::string_view text) {
  return json::decodeArray<DeviceEvent>(text, [](const Json& item) -> std::optional<DeviceEvent> {
    const auto id = readUuid(item, "id");
    const auto deviceID = readUuid(item, "deviceID");
    const auto kindText = json::readString(item, "kind");
    const auto kind = kindText ? kindFromRaw(*kindText) : std::nullopt;
    const auto atText = json::readString(item, "at");
    const auto at = atText ? parseISO8601(*atText) : std::nullopt;
    if (!id || !deviceID || !kind || !at) return std::nullopt;
    return DeviceEvent{*id, *deviceID, *kind, *at};
  });
}

DeviceHistoryStore::DeviceHistoryStore(StoredFile file) : file_(std::move(file)) {
  std::lock_guard guard(lock_);
  file_.load([&](std::string_view text) {
    auto events = decodeDeviceHistory(text);
    if (events) events_ = std::move(*events);
    return events.has_value();
  });
}

void DeviceHistoryStore::record(const Uuid& deviceID, DeviceEvent::Kind kind, Date at) {
  {
    std::lock_guard guard(lock_);
    if (kind != DeviceEvent::Kind::paired) {
      const auto last = std::find_if(events_.rbegin(), events_.rend(),
                                     [&](const DeviceEvent& e) { return e.deviceID == deviceID; });
      if (last != events_.rend() && last->kind == kind) return;
    }
    events_.push_back({Uuid::random(), deviceID, kind, at});
    pruneLocked(deviceID);
    saveLocked();
  }
  if (onChange) onChange();
}

std::vector<DeviceEvent> DeviceHistoryStore::events(const Uuid& deviceID) const {
  std::lock_guard guard(lock_);
  std::vector<DeviceEvent> found;
  std::copy_if(events_.begin(), events_.end(), std::back_inserter(found),
               [&](const DeviceEvent& e) { return e.deviceID == deviceID; });
  return found;
}

std::size_t DeviceHistoryStore::connectionCount(const Uuid& deviceID) const {
  std::lock_guard guard(lock_);
  return static_cast<std::size_t>(
      std::count_if(events_.begin(), events_.end(), [&](const DeviceEvent& e) {
        return e.deviceID == deviceID && e.kind == DeviceEvent::Kind::connected;
      }));
}

void DeviceHistoryStore::removeAll(const Uuid& deviceID) {
  {
    std::lock_guard guard(lock_);
    if (std::erase_if(events_, [&](const DeviceEvent& e) { return e.deviceID == deviceID; }) == 0) {
      return;
    }
    saveLocked();
  }
  if (onChange) onChange();
}

void DeviceHistoryStore::removeAll() {
  {
    std::lock_guard guard(lock_);
    if (events_.empty()) return;
    events_.clear();
    saveLocked();
  }
  if (onChange) onChange();
}

void DeviceHistoryStore::pruneLocked(const Uuid& deviceID) {
  const auto count = static_cast<std::size_t>(
      std::count_if(events_.begin(), events_.end(),
                    [&](const DeviceEvent& e) { return e.deviceID == deviceID; }));
  if (count > maxEventsPerDevice) {
    // Drop this device's oldest events, keeping everyone's order.
    std::size_t excess = count - maxEventsPerDevice;
    std::vector<DeviceEvent> kept;
    kept.reserve(events_.size() - excess);
    for (auto& event : events_) {
      if (excess > 0 && event.deviceID == deviceID) {
        --excess;
        continue;
      }
      kept.push_back(event);
    }
    events_ = std::move(kept);
  }
  if (events_.size() > maxEvents) {
    events_.erase(events_.begin(),
                  events_.begin() + static_cast<std::ptrdiff_t>(events_.size() - maxEvents));
  }
}

void DeviceHistoryStore::saveLocked() const {
  const auto encoded = encodeDeviceHistory(events_);
  if (encoded) file_.save(*encoded);
}

}  // namespace tavelin
