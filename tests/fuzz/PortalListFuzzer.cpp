// The portals file may be damaged or hand-edited: decoding must never crash, and whatever
// decodes must encode and decode again to the same catalogue.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinKit/Model/CoordinateMath.hpp"
#include "TavelinKit/Model/Portal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavelin;
  const auto portals = decodePortalList({reinterpret_cast<const char*>(data), size});
  if (!portals) return 0;
  for (const auto& portal : *portals) {
    (void)portal.summary();
    if (const auto* region = std::get_if<WindowRegionPortalData>(&portal.payload.value)) {
      // Stored regions feed the crop arithmetic directly.
      (void)CoordinateMath::resolveEffectiveRegion(region->region, region->originalPixelRegion,
                                                   {1280, 720}, region->resizeBehavior)
          .toPixel({1280, 720});
    }
  }
  const auto encoded = encodePortalList(*portals);
  if (!encoded) return 0;  // e.g. a NaN cannot be written back
  const auto again = decodePortalList(*encoded);
  if (!again || *again != *portals) std::abort();
  return 0;
}
