#include "TavelinKit/Foundation/Crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace tavelin {

// OpenSSL's clean-up at exit would run while threads that used it may still be ending (pool
// threads are joined by a static destructor); their per-thread state would then be lost. The
// process is ending anyway: OpenSSL keeps its state until then.
void initialiseCrypto() {
  static const bool ready = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)ready;
}

namespace {

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "tavelin: %s failed\n", what);
  std::abort();
}

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* type, std::string_view data) {
  initialiseCrypto();
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  std::array<std::uint8_t, N> out{};
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), type, nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), out.data(), &length) != 1 || length != N) {
    fatal("message digest");
  }
  return out;
}

int decodeSymbol(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

void fillRandom(std::uint8_t* out, std::size_t count) {
  initialiseCrypto();
  while (count > 0) {
    const auto chunk = static_cast<int>(std::min<std::size_t>(count, 1 << 20));
    if (RAND_bytes(out, chunk) != 1) fatal("secure random generator");
    out += chunk;
    count -= static_cast<std::size_t>(chunk);
  }
}

Bytes randomBytes(std::size_t count) {
  Bytes bytes(count);
  fillRandom(bytes.data(), bytes.size());
  return bytes;
}

std::uint64_t randomUniform(std::uint64_t upperBound) {
  if (upperBound <= 1) return 0;
  // Reject draws from the incomplete last block so every residue is equally likely.
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() -
                              std::numeric_limits<std::uint64_t>::max() % upperBound;
  for (;;) {
    std::uint64_t value = 0;
    fillRandom(reinterpret_cast<std::uint8_t*>(&value), sizeof value);
    if (value < limit) return value % upperBound;
  }
}

Sha1Digest sha1(std::string_view data) { return digest<20>(EVP_sha1(), data); }

Sha256Digest sha256(std::string_view data) { return digest<32>(EVP_sha256(), data); }

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()) / 4 * 3) {
    fatal("base64 encoding of an oversized buffer");
  }
  std::string text(4 * ((size + 2) / 3), '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(size));
  text.resize(static_cast<std::size_t>(written));
  return text;
}

std::string base64URLEncode(const std::uint8_t* data, std::size_t size) {
  std::string text = base64Encode(data, size);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int values[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        values[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // data after padding
      values[k] = decodeSymbol(c);
      if (values[k] < 0) return std::nullopt;
    }
    const std::uint32_t group =
        static_cast<std::uint32_t>(values[0]) << 18 | static_cast<std::uint32_t>(values[1]) << 12 |
        static_cast<std::uint32_t>(values[2]) << 6 | static_cast<std::uint32_t>(values[3]);
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      return std::nullopt;  // non-canonical: bits beyond the data are set
    }
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(group >> 8 & 0xFF));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(group & 0xFF));
  }
  return out;
}

}  // namespace tavelin
