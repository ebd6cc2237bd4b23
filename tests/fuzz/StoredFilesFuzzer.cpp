// The devices and history files may be damaged or hand-edited: decoding must never crash, and
// whatever decodes must encode and decode again to the same list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinKit/Pairing/DeviceHistoryStore.hpp"
#include "TavelinKit/Pairing/PairedDevice.hpp"

namespace {

template <typename Decode, typename Encode>
void checkRoundTrip(std::string_view text, Decode decode, Encode encode) {
  const auto decoded = decode(text);
  if (!decoded) return;
  const auto encoded = encode(*decoded);
  if (!encoded) return;  // strings that are not valid UTF-8 cannot be written back
  const auto again = decode(*encoded);
  if (!again || *again != *decoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavelin;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkRoundTrip(text, decodeDeviceList, encodeDeviceList);
  checkRoundTrip(text, decodeDeviceHistory, encodeDeviceHistory);
  return 0;
}
