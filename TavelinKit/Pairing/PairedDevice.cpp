#include "TavelinKit/Pairing/PairedDevice.hpp"

#include "TavelinKit/Foundation/Json.hpp"

namespace tavelin {

using json::Json;

namespace {

Json toJson(const PairedDevice& device) {
  return Json{{"id", device.id.string()},
              {"name", device.name},
              {"tokenHash", device.tokenHash},
              {"pairedAt", formatISO8601(device.pairedAt)},
              {"lastSeenAt", formatISO8601(device.lastSeenAt)}};
}

std::optional<PairedDevice> deviceFromJson(const Json& item) {
  const auto idText = json::readString(item, "id");
  const auto id = idText ? Uuid::parse(*idText) : std::nullopt;
  auto name = json::readString(item, "name");
  auto tokenHash = json::readString(item, "tokenHash");
  const auto pairedText = json::readString(item, "pairedAt");
  const auto pairedAt = pairedText ? parseISO8601(*pairedText) : std::nullopt;
  const auto seenText = json::readString(item, "lastSeenAt");
  const auto lastSeenAt = seenText ? parseISO8601(*seenText) : std::nullopt;
  if (!id || !name || !tokenHash || !pairedAt || !lastSeenAt) return std::nullopt;
  return PairedDevice{*id, std::move(*name), std::move(*tokenHash), *pairedAt, *lastSeenAt};
}

}  // namespace

std::optional<std::string> encodeDeviceList(const std::vector<PairedDevice>& devices) {
  return json::encodeArray(devices, toJson);
}

std::optional<std::vector<PairedDevice>> decodeDeviceList(std::string_view text) {
  return json::decodeArray<PairedDevice>(text, deviceFromJson);
}

}  // namespace tavelin
