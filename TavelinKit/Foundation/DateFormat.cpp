#include "TavelinKit/Foundation/DateFormat.hpp"

#include <cstdio>
#include <ctime>

namespace tavelin {

namespace {

using namespace std::chrono;

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& out) {
  out = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::string formatISO8601(Date date) {
  const auto seconds = floor<std::chrono::seconds>(date);
  const auto days = floor<std::chrono::days>(seconds);
  const year_month_day ymd{days};
  const hh_mm_ss time{seconds - days};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::optional<Date> parseISO8601(std::string_view text) {
  // yyyy-MM-ddTHH:mm:ssZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!readDigits(text, 0, 4, y) || !readDigits(text, 5, 2, mo) || !readDigits(text, 8, 2, d) ||
      !readDigits(text, 11, 2, h) || !readDigits(text, 14, 2, mi) || !readDigits(text, 17, 2, s)) {
    return std::nullopt;
  }
  const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)},
                           day{static_cast<unsigned>(d)}};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  const auto since =
      sys_days{ymd}.time_since_epoch() + hours{h} + minutes{mi} + std::chrono::seconds{s};
  // The clock counts nanoseconds in 64 bits: about 1677 to 2262. Later or earlier dates
  // cannot be held and do not decode.
  constexpr auto limit = duration_cast<std::chrono::seconds>(Date::duration::max());
  if (since > limit || since < -limit) return std::nullopt;
  return Date{duration_cast<Date::duration>(since)};
}

std::string formatLocalDate(Date date) {
  const std::time_t t = system_clock::to_time_t(date);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return formatISO8601(date).substr(0, 10);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

}  // namespace tavelin
