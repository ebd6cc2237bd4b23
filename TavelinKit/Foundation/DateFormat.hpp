#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tavelin {

using Date = std::chrono::system_clock::time_point;

// "2026-03-01T09:15:02Z": UTC, whole seconds (fractions are dropped, rounding down).
std::string formatISO8601(Date date);

// Accepts exactly the form above. Fractional seconds, numeric offsets, lower-case
// separators and out-of-range fields do not decode.
std::optional<Date> parseISO8601(std::string_view text);

// The local calendar date, "yyyy-MM-dd", in the process's time zone.
std::string formatLocalDate(Date date);

}  // namespace tavelin
