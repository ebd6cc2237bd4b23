#include "TavelinKit/Model/Geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "TavelinKit/Foundation/Json.hpp"

namespace tavelin {

std::int64_t roundToInteger(double value) {
  if (std::isnan(value)) return 0;
  const double rounded = std::round(value);
  // 2^63 is exactly representable; anything at or beyond it saturates.
  constexpr double limit = 9223372036854775808.0;
  if (rounded >= limit) return std::numeric_limits<std::int64_t>::max();
  if (rounded < -limit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(rounded);
}

namespace {

std::string format(const char* pattern, auto... values) {
  char text[160];
  const int length = std::snprintf(text, sizeof text, pattern, values...);
  return std::string(text, static_cast<std::size_t>(std::clamp(length, 0, int{sizeof text} - 1)));
}

long long whole(double value) { return static_cast<long long>(roundToInteger(value)); }

double clampUnit(double value) {
  if (value <= 0) return 0;
  if (value > 1) return 1;
  return value;
}

}  // namespace

ScreenRect ScreenRect::intersect(const ScreenRect& other) const {
  const double left = std::max(x, other.x);
  const double right = std::min(this->right(), other.right());
  const double top = std::max(y, other.y);
  const double bottom = std::min(this->bottom(), other.bottom());
  if (left < right && top < bottom) return {left, top, right - left, bottom - top};
  return empty;
}

PixelRect PixelRect::clamped(const PixelRect& inside) const {
  const PixelRect& b = inside;
  if (b.width < 1 || b.height < 1 || width < 1 || height < 1) return empty;
  const std::int64_t newX = std::min(std::max(x, b.x), std::max(b.x + b.width - 1, b.x));
  const std::int64_t newY = std::min(std::max(y, b.y), std::max(b.y + b.height - 1, b.y));
  const std::int64_t roomX = b.x + b.width - newX;
  const std::int64_t roomY = b.y + b.height - newY;
  if (roomX < 1 || roomY < 1) return empty;
  return {newX, newY, std::min(roomX, width), std::min(roomY, height)};
}

NormalizedPoint NormalizedPoint::clamped() const { return {clampUnit(x), clampUnit(y)}; }

NormalizedRect NormalizedRect::clamped() const {
  NormalizedRect r{clampUnit(x), clampUnit(y), width, height};
  if (!(r.width > 0)) r.width = 0;  // NaN too
  if (1 - r.x < r.width) r.width = 1 - r.x;
  if (!(r.height > 0)) r.height = 0;
  if (1 - r.y < r.height) r.height = 1 - r.y;
  return r;
}

PixelRect NormalizedRect::toPixel(const PixelSize& surface) const {
  const std::int64_t w = surface.width;
  const std::int64_t h = surface.height;
  if (w < 1 || h < 1) return PixelRect::empty;
  const NormalizedRect c = clamped();
  const std::int64_t px =
      std::clamp<std::int64_t>(roundToInteger(c.x * static_cast<double>(w)), 0, w - 1);
  const std::int64_t py =
      std::clamp<std::int64_t>(roundToInteger(c.y * static_cast<double>(h)), 0, h - 1);
  const std::int64_t pw =
      std::min(std::max<std::int64_t>(roundToInteger(c.width * static_cast<double>(w)), 1), w - px);
  const std::int64_t ph = std::min(
      std::max<std::int64_t>(roundToInteger(c.height * static_cast<double>(h)), 1), h - py);
  return {px, py, pw, ph};
}

NormalizedRect NormalizedRect::fromPixel(const PixelRect& rect, const PixelSize& surface) {
  if (surface.width < 1 || surface.height < 1) return full;
  const auto w = static_cast<double>(surface.width);
  const auto h = static_cast<double>(surface.height);
  return NormalizedRect{static_cast<double>(rect.x) / w, static_cast<double>(rect.y) / h,
                        static_cast<double>(rect.width) / w, static_cast<double>(rect.height) / h}
      .clamped();
}

std::string ScreenPoint::description() const { return format("%lld,%lld", whole(x), whole(y)); }

std::string ScreenRect::description() const {
  return format("%lldx%lld @ %lld,%lld", whole(width), whole(height), whole(x), whole(y));
}

std::string PixelSize::description() const {
  return format("%lldx%lld", static_cast<long long>(width), static_cast<long long>(height));
}

std::string PixelRect::description() const {
  return format("%lldx%lld @ %lld,%lld", static_cast<long long>(width),
                static_cast<long long>(height), static_cast<long long>(x),
                static_cast<long long>(y));
}

std::string NormalizedPoint::description() const { return format("%.4f,%.4f", x, y); }

std::string NormalizedRect::description() const {
  return format("%.4f,%.4f %.4fx%.4f", x, y, width, height);
}

// JSON forms.

using json::Json;

Json toJson(const ScreenPoint& v) { return Json{{"x", v.x}, {"y", v.y}}; }
Json toJson(const NormalizedPoint& v) { return Json{{"x", v.x}, {"y", v.y}}; }
Json toJson(const PixelSize& v) { return Json{{"width", v.width}, {"height", v.height}}; }

Json toJson(const ScreenRect& v) {
  return Json{{"x", v.x}, {"y", v.y}, {"width", v.width}, {"height", v.height}};
}
Json toJson(const NormalizedRect& v) {
  return Json{{"x", v.x}, {"y", v.y}, {"width", v.width}, {"height", v.height}};
}
Json toJson(const PixelRect& v) {
  return Json{{"x", v.x}, {"y", v.y}, {"width", v.width}, {"height", v.height}};
}

namespace {

template <typename Point>
std::optional<Point> pointFromJson(const Json& j) {
  const auto x = json::readDouble(j, "x");
  const auto y = json::readDouble(j, "y");
  if (!x || !y) return std::nullopt;
  return Point{*x, *y};
}

template <typename Rect>
std::optional<Rect> rectFromJson(const Json& j) {
  const auto x = json::readDouble(j, "x");
  const auto y = json::readDouble(j, "y");
  const auto width = json::readDouble(j, "width");
  const auto height = json::readDouble(j, "height");
  if (!x || !y || !width || !height) return std::nullopt;
  return Rect{*x, *y, *width, *height};
}

}  // namespace

std::optional<ScreenPoint> screenPointFromJson(const Json& j) {
  return pointFromJson<ScreenPoint>(j);
}
std::optional<NormalizedPoint> normalizedPointFromJson(const Json& j) {
  return pointFromJson<NormalizedPoint>(j);
}
std::optional<ScreenRect> screenRectFromJson(const Json& j) { return rectFromJson<ScreenRect>(j); }
std::optional<NormalizedRect> normalizedRectFromJson(const Json& j) {
  return rectFromJson<NormalizedRect>(j);
}

std::optional<PixelSize> pixelSizeFromJson(const Json& j) {
  const auto width = json::readInteger<std::int64_t>(j, "width");
  const auto height = json::readInteger<std::int64_t>(j, "height");
  if (!width || !height) return std::nullopt;
  return PixelSize{*width, *height};
}

std::optional<PixelRect> pixelRectFromJson(const Json& j) {
  const auto x = json::readInteger<std::int64_t>(j, "x");
  const auto y = json::readInteger<std::int64_t>(j, "y");
  const auto width = json::readInteger<std::int64_t>(j, "width");
  const auto height = json::readInteger<std::int64_t>(j, "height");
  if (!x || !y || !width || !height) return std::nullopt;
  return PixelRect{*x, *y, *width, *height};
}

}  // namespace tavelin
