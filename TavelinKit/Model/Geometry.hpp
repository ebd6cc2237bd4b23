#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

// Three coordinate spaces, kept apart by type:
//  - global screen space in points (ScreenPoint, ScreenRect): origin at the top-left of the
//    main display, y downwards, may be negative;
//  - surface pixels (PixelSize, PixelRect): whole pixels of a captured surface;
//  - normalised space (NormalizedPoint, NormalizedRect): fractions 0…1 of a picture.
// Nothing is validated on construction; each operation says how it treats odd values.
namespace tavelin {

// Nearest integer with halves away from zero (2.5 → 3, −2.5 → −3). Values beyond the 64-bit
// range saturate and NaN gives 0.
std::int64_t roundToInteger(double value);

struct ScreenPoint {
  double x = 0;
  double y = 0;

  std::string description() const;
  friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

struct ScreenRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  static const ScreenRect empty;

  static ScreenRect fromLTRB(double left, double top, double right, double bottom) {
    return {left, top, right - left, bottom - top};
  }

  double right() const { return x + width; }
  double bottom() const { return y + height; }
  bool isEmpty() const { return (width < height ? width : height) <= 0; }
  // Left and top edges inside, right and bottom edges outside.
  bool contains(double px, double py) const {
    return px >= x && px < x + width && py >= y && py < y + height;
  }
  // The overlap, or `empty` when the two do not overlap (touching edges included).
  ScreenRect intersect(const ScreenRect& other) const;

  std::string description() const;
  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};
inline constexpr ScreenRect ScreenRect::empty{};

struct PixelSize {
  std::int64_t width = 0;
  std::int64_t height = 0;

  static const PixelSize empty;

  bool isEmpty() const { return width < 1 || height < 1; }

  std::string description() const;
  friend bool operator==(const PixelSize&, const PixelSize&) = default;
};
inline constexpr PixelSize PixelSize::empty{};

struct PixelRect {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;

  static const PixelRect empty;

  std::int64_t right() const { return x + width; }
  std::int64_t bottom() const { return y + height; }
  PixelSize size() const { return {width, height}; }
  bool isEmpty() const { return width < 1 || height < 1; }

  // Moves the origin into `inside`, then shortens the rectangle so it ends there too. The part
  // that lay before `inside`'s origin is not cut off: the rectangle slides.
  PixelRect clamped(const PixelRect& inside) const;

  std::string description() const;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};
inline constexpr PixelRect PixelRect::empty{};

struct NormalizedPoint {
  double x = 0;
  double y = 0;

  // Both bounds inclusive; NaN is outside.
  bool isInsideUnitSquare() const { return x >= 0 && x <= 1 && y >= 0 && y <= 1; }
  NormalizedPoint clamped() const;

  std::string description() const;
  friend bool operator==(const NormalizedPoint&, const NormalizedPoint&) = default;
};

struct NormalizedRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  static const NormalizedRect full;

  double right() const { return x + width; }
  double bottom() const { return y + height; }

  // Forced into the unit square; width or height may end up 0.
  NormalizedRect clamped() const;
  // At least 1×1 pixel wholly inside a non-empty surface; `PixelRect::empty` on an empty one.
  PixelRect toPixel(const PixelSize& surface) const;
  // `full` on an empty surface.
  static NormalizedRect fromPixel(const PixelRect& rect, const PixelSize& surface);

  std::string description() const;
  friend bool operator==(const NormalizedRect&, const NormalizedRect&) = default;
};
inline constexpr NormalizedRect NormalizedRect::full{0, 0, 1, 1};

// JSON forms: objects keyed by the field names. Decoding requires every key with the right
// JSON type (numbers for doubles, integers for pixels); other keys are ignored.
nlohmann::json toJson(const ScreenPoint& value);
nlohmann::json toJson(const ScreenRect& value);
nlohmann::json toJson(const PixelSize& value);
nlohmann::json toJson(const PixelRect& value);
nlohmann::json toJson(const NormalizedPoint& value);
nlohmann::json toJson(const NormalizedRect& value);

std::optional<ScreenPoint> screenPointFromJson(const nlohmann::json& json);
std::optional<ScreenRect> screenRectFromJson(const nlohmann::json& json);
std::optional<PixelSize> pixelSizeFromJson(const nlohmann::json& json);
std::optional<PixelRect> pixelRectFromJson(const nlohmann::json& json);
std::optional<NormalizedPoint> normalizedPointFromJson(const nlohmann::json& json);
std::optional<NormalizedRect> normalizedRectFromJson(const nlohmann::json& json);

}  // namespace tavelin
