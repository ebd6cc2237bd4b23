#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"

namespace tavelin {

// A phone allowed to use the host. Only the hash of its token is ever kept.
struct PairedDevice {
  Uuid id;
  std::string name;
  std::string tokenHash;  // standard Base64 of SHA-256 over the token's UTF-8 bytes
  Date pairedAt;
  Date lastSeenAt;

  friend bool operator==(const PairedDevice&, const PairedDevice&) = default;
};

// The devices file: a pretty-printed JSON array with the keys of each device sorted. Every key
// is required; one malformed device (a missing key, a date with fractions) fails the whole file.
std::optional<std::string> encodeDeviceList(const std::vector<PairedDevice>& devices);
std::optional<std::vector<PairedDevice>> decodeDeviceList(std::string_view text);

}  // namespace tavelin
