#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// The parts of an Origin header the server checks against its own address.
struct ParsedOrigin {
  std::string scheme;
  std::string host;
  std::optional<int> port;
};

// scheme "://" [userinfo "@"] host [":" port] [path]; nothing when that shape is not there.
std::optional<ParsedOrigin> parseOrigin(std::string_view text);

}  // namespace tavelin
