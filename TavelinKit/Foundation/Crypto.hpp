#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinKit/Foundation/Bytes.hpp"

namespace tavelin {

using Sha1Digest = std::array<std::uint8_t, 20>;
using Sha256Digest = std::array<std::uint8_t, 32>;

// Fills the buffer from the operating system's secure generator. A generator that cannot
// deliver is unrecoverable for a host that hands out credentials, so this aborts.
void fillRandom(std::uint8_t* out, std::size_t count);

// Sets OpenSSL up, once, before anything uses it (the thread pool calls it before it starts its
// threads).
void initialiseCrypto();
Bytes randomBytes(std::size_t count);

// A uniformly distributed integer in 0 … upperBound - 1 (no modulo bias). upperBound > 0.
std::uint64_t randomUniform(std::uint64_t upperBound);

Sha1Digest sha1(std::string_view data);
Sha256Digest sha256(std::string_view data);

// RFC 4648 Base64 with padding, and the URL-safe alphabet without padding.
std::string base64Encode(const std::uint8_t* data, std::size_t size);
std::string base64URLEncode(const std::uint8_t* data, std::size_t size);

template <typename Container>
std::string base64Encode(const Container& bytes) {
  return base64Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}
template <typename Container>
std::string base64URLEncode(const Container& bytes) {
  return base64URLEncode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Strict decoding of the standard alphabet with padding: no white space, length a multiple
// of four, unused bits zero. Anything else gives nothing.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace tavelin
