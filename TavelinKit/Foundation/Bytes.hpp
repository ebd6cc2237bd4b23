#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tavelin {

using Bytes = std::vector<std::uint8_t>;

inline std::string_view asText(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace tavelin
