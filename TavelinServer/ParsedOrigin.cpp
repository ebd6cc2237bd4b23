#include "TavelinServer/ParsedOrigin.hpp"

#include <charconv>

namespace tavelin {

std::optional<ParsedOrigin> parseOrigin(std::string_view text) {
  const auto separator = text.find("://");
  if (separator == std::string_view::npos || separator == 0) return std::nullopt;
  ParsedOrigin origin{std::string(text.substr(0, separator)), {}, {}};
  std::string_view authority = text.substr(separator + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  std::string_view portText;
  if (!authority.empty() && authority[0] == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    origin.host = std::string(authority.substr(1, close - 1));
    const auto rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return std::nullopt;
      portText = rest.substr(1);
    }
  } else {
    const auto colon = authority.find(':');
    origin.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
  }
  if (origin.host.empty()) return std::nullopt;
  if (!portText.empty()) {
    int port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || port < 0 ||
        port > 65535) {
      return std::nullopt;
    }
    origin.port = port;
  }
  return origin;
}

}  // namespace tavelin
