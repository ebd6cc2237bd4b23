#pragma once
#include <chrono>
#include <optional>

namespace tavelin {

// When the phones of a portal want its next picture: never (nothing set: every phone still
// holds one it was given, or nobody watches), or from a point in time on, which is at once
// when that point has passed.
using PictureDue = std::optional<std::chrono::steady_clock::time_point>;

// Wanted at once.
inline constexpr std::chrono::steady_clock::time_point pictureDueNow{};

}  // namespace tavelin
