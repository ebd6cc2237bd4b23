#pragma once

// Strict readers and canonical writers for the JSON the host stores and exchanges. Include
// this from .cpp files only; headers use <nlohmann/json_fwd.hpp>.

#include <concepts>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavelin::json {

using Json = nlohmann::json;

// Parses untrusted text; nothing on any error (also invalid UTF-8).
std::optional<Json> parse(std::string_view text);

// Pretty-printed with sorted keys (the default object keeps them sorted), as every stored
// file is written; compact for the wire. Nothing when a string is not valid UTF-8.
std::optional<std::string> encodePretty(const Json& value);
std::optional<std::string> encodeCompact(const Json& value);

// Required members of an object, read without conversions: a missing key or another JSON
// type gives nothing. Booleans are not numbers here.
const Json* member(const Json& object, std::string_view key);
std::optional<double> readDouble(const Json& object, std::string_view key);
std::optional<bool> readBool(const Json& object, std::string_view key);
std::optional<std::string> readString(const Json& object, std::string_view key);

// An integer member that fits T exactly; fractions and out-of-range values give nothing.
template <std::integral T>
std::optional<T> readInteger(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (value->is_number_unsigned()) {
    const auto v = value->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return std::nullopt;
    return static_cast<T>(v);
  }
  if (value->is_number_integer()) {
    const auto v = value->get<std::int64_t>();
    if (v < 0 && !std::numeric_limits<T>::is_signed) return std::nullopt;
    if (std::cmp_less(v, std::numeric_limits<T>::min()) ||
        std::cmp_greater(v, std::numeric_limits<T>::max())) {
      return std::nullopt;
    }
    return static_cast<T>(v);
  }
  return std::nullopt;
}

// A stored list: a pretty-printed JSON array of `encode(item)`.
template <typename T, typename Encode>
std::optional<std::string> encodeArray(const std::vector<T>& items, Encode encode) {
  Json array = Json::array();
  for (const auto& item : items) array.push_back(encode(item));
  return encodePretty(array);
}

// A stored list read back: nothing unless the text is an array and every element decodes
// (`decode` gives an optional item).
template <typename T, typename Decode>
std::optional<std::vector<T>> decodeArray(std::string_view text, Decode decode) {
  const auto document = parse(text);
  if (!document || !document->is_array()) return std::nullopt;
  std::vector<T> items;
  items.reserve(document->size());
  for (const auto& element : *document) {
    auto item = decode(element);
    if (!item) return std::nullopt;
    items.push_back(std::move(*item));
  }
  return items;
}

}  // namespace tavelin::json
