#include "TavelinKit/Pairing/PairedDevice.hpp"

#include "TavelinKit/Foundation/Json.hpp"

namespace tavelin {

using json::Json;

std::optional<std::string> encodeDeviceList(const std::vector<PairedDevice>& devices) {
  Json array = Json::array();
  for (const auto& device : devices) {
    array.push_back(Json{{"id", device.id.string()},
                         {"name", device.name},
                         {"tokenHash", device.tokenHash},
                         {"pairedAt", formatISO8601(device.pairedAt)},
                         {"lastSeenAt", formatISO8601(device.lastSeenAt)}});
  }
  return json::encodePretty(array);
}

std::optional<std::vector<PairedDevice>> decodeDeviceList(std::string_view text) {
  const auto document = json::parse(text);
  if (!document || !document->is_array()) return std::nullopt;
  std::vector<PairedDevice> devices;
  devices.reserve(document->size());
  for (const auto& item : *document) {
    const auto idText = json::readString(item, "id");
    const auto id = idText ? Uuid::parse(*idText) : std::nullopt;
    auto name = json::readString(item, "name");
    auto tokenHash = json::readString(item, "tokenHash");
    const auto pairedText = json::readString(item, "pairedAt");
    const auto pairedAt = pairedText ? parseISO8601(*pairedText) : std::nullopt;
    const auto seenText = json::readString(item, "lastSeenAt");
    const auto lastSeenAt = seenText ? parseISO8601(*seenText) : std::nullopt;
    if (!id || !name || !tokenHash || !pairedAt || !lastSeenAt) return std::nullopt;
    devices.push_back({*id, std::move(*name), std::move(*tokenHash), *pairedAt, *lastSeenAt});
  }
  return devices;
}

}  // namespace tavelin
