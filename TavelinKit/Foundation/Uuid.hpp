#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

// A 128-bit identifier. Text form is the canonical hyphenated one in upper case
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), which is how ids travel on the wire and in files.
class Uuid {
 public:
  using Storage = std::array<std::uint8_t, 16>;

  constexpr Uuid() = default;
  constexpr explicit Uuid(const Storage& bytes) : bytes_(bytes) {}

  // A random version-4 id from the secure generator.
  static Uuid random();

  // Accepts exactly the 36-character 8-4-4-4-12 form, hex digits in either case.
  static std::optional<Uuid> parse(std::string_view text);

  std::string string() const;
  const Storage& bytes() const { return bytes_; }

  friend auto operator<=>(const Uuid&, const Uuid&) = default;

 private:
  Storage bytes_{};
};

}  // namespace tavelin

template <>
struct std::hash<tavelin::Uuid> {
  std::size_t operator()(const tavelin::Uuid& id) const noexcept;
};
