#include "TavelinHost/Runtime/HostSettings.hpp"

#include <algorithm>

#include "TavelinKit/Foundation/Json.hpp"
#include "TavelinKit/Model/AppPaths.hpp"

namespace tavelin {

namespace {

// Reads an optional key into `field`: absent leaves it alone, a wrong type fails.
template <typename T, typename Reader>
bool readOptional(const json::Json& object, std::string_view key, T& field, Reader read) {
  if (json::member(object, key) == nullptr) return true;
  const auto value = read(object, key);
  if (!value) return false;
  field = *value;
  return true;
}

}  // namespace

std::optional<HostSettings> HostSettings::decode(std::string_view text) {
  const auto document = json::parse(text);
  if (!document || !document->is_object()) return std::nullopt;
  HostSettings settings;
  const bool ok =
      readOptional(*document, "port", settings.port, json::readInteger<std::uint16_t>) &&
      readOptional(*document, "targetFps", settings.targetFps, json::readInteger<int>) &&
      readOptional(*document, "jpegQuality", settings.jpegQuality, json::readDouble) &&
      readOptional(*document, "maxFrameDimension", settings.maxFrameDimension,
                   json::readInteger<int>) &&
      readOptional(*document, "showRegionBorder", settings.showRegionBorder, json::readBool) &&
      readOptional(*document, "requireApproval", settings.requireApproval, json::readBool) &&
      readOptional(*document, "gnomeWithoutDialog", settings.gnomeWithoutDialog, json::readBool) &&
      readOptional(*document, "shareClipboard", settings.shareClipboard, json::readBool) &&
      readOptional(*document, "phonesChooseQuality", settings.phonesChooseQuality,
                   json::readBool) &&
      readOptional(*document, "keepRunningInTray", settings.keepRunningInTray, json::readBool);
  if (!ok) return std::nullopt;
  return settings;
}

std::string HostSettings::encode() const {
  const json::Json object{{"port", port},
                          {"targetFps", targetFps},
                          {"jpegQuality", jpegQuality},
                          {"maxFrameDimension", maxFrameDimension},
                          {"showRegionBorder", showRegionBorder},
                          {"requireApproval", requireApproval},
                          {"gnomeWithoutDialog", gnomeWithoutDialog},
                          {"shareClipboard", shareClipboard},
                          {"phonesChooseQuality", phonesChooseQuality},
                          {"keepRunningInTray", keepRunningInTray}};
  // Only numbers and booleans: encoding cannot fail.
  return json::encodePretty(object).value_or("{}");
}

HostSettings HostSettings::load(const StoredFile& file) {
  HostSettings settings;
  file.load([&](std::string_view text) {
    const auto decoded = decode(text);
    if (decoded) settings = *decoded;
    return decoded.has_value();
  });
  return settings;
}

HostSettings HostSettings::load() { return load(AppPaths::settingsFile()); }

bool HostSettings::save(const StoredFile& file) const { return file.save(encode()); }

bool HostSettings::save() const { return save(AppPaths::settingsFile()); }

std::uint16_t HostSettings::clampedPort(long long entered) {
  return static_cast<std::uint16_t>(std::clamp<long long>(entered, 1, 65535));
}

}  // namespace tavelin
