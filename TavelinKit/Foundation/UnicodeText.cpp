#include "TavelinKit/Foundation/UnicodeText.hpp"

#include <utf8proc.h>
#include <vector>

namespace tavelin::unicode {

namespace {

constexpr utf8proc_int32_t kReplacement = 0xFFFD;

// Walks the scalars of `text`: f(codepoint, its bytes, malformed). A malformed byte is
// reported alone as U+FFFD.
template <typename F>
void forEachScalar(std::string_view text, F&& f) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t at = 0;
  while (at < text.size()) {
    utf8proc_int32_t codepoint = 0;
    auto length =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codepoint);
    const bool malformed = length <= 0;
    if (malformed) {
      codepoint = kReplacement;
      length = 1;
    }
    f(codepoint, text.substr(at, static_cast<std::size_t>(length)), malformed);
    at += static_cast<std::size_t>(length);
  }
}

void append(std::string& out, utf8proc_int32_t codepoint) {
  utf8proc_uint8_t buffer[4];
  const auto length = utf8proc_encode_char(codepoint, buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

void appendScalar(std::string& out, utf8proc_int32_t codepoint, std::string_view raw,
                  bool malformed) {
  if (malformed) {
    append(out, codepoint);
  } else {
    out.append(raw);
  }
}

bool isWhitespaceOrNewline(utf8proc_int32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const auto category = utf8proc_category(c);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

struct Scalar {
  utf8proc_int32_t codepoint;
  std::string_view raw;
  bool malformed;
};

std::vector<Scalar> scalars(std::string_view text) {
  std::vector<Scalar> out;
  out.reserve(text.size());
  forEachScalar(text, [&](utf8proc_int32_t c, std::string_view raw, bool malformed) {
    out.push_back({c, raw, malformed});
  });
  return out;
}

template <typename Predicate>
std::string trimScalars(std::string_view text, Predicate isTrimmed) {
  const auto all = scalars(text);
  std::size_t first = 0;
  std::size_t last = all.size();
  while (first < last && isTrimmed(all[first].codepoint)) ++first;
  while (last > first && isTrimmed(all[last - 1].codepoint)) --last;
  std::string out;
  for (std::size_t i = first; i < last; ++i) {
    appendScalar(out, all[i].codepoint, all[i].raw, all[i].malformed);
  }
  return out;
}

}  // namespace

std::string prefixGraphemes(std::string_view text, std::size_t limit) {
  std::string out;
  if (limit == 0) return out;
  std::size_t clusters = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  bool done = false;
  forEachScalar(text, [&](utf8proc_int32_t c, std::string_view raw, bool malformed) {
    if (done) return;
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, c, &state)) {
      if (++clusters > limit) {
        done = true;
        return;
      }
    }
    previous = c;
    appendScalar(out, c, raw, malformed);
  });
  return out;
}

std::size_t graphemeCount(std::string_view text) {
  std::size_t clusters = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  forEachScalar(text, [&](utf8proc_int32_t c, std::string_view, bool) {
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, c, &state)) ++clusters;
    previous = c;
  });
  return clusters;
}

std::string removeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  forEachScalar(text, [&](utf8proc_int32_t c, std::string_view raw, bool malformed) {
    const auto category = utf8proc_category(c);
    if (category == UTF8PROC_CATEGORY_CC || category == UTF8PROC_CATEGORY_CF ||
        category == UTF8PROC_CATEGORY_ZL || category == UTF8PROC_CATEGORY_ZP) {
      return;
    }
    appendScalar(out, c, raw, malformed);
  });
  return out;
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
  return trimScalars(text, isWhitespaceOrNewline);
}

std::string trimHorizontalWhitespace(std::string_view text) {
  return trimScalars(text, [](utf8proc_int32_t c) {
    return c == '\t' || utf8proc_category(c) == UTF8PROC_CATEGORY_ZS;
  });
}

bool isValidUTF8(std::string_view text) {
  bool valid = true;
  forEachScalar(text, [&](utf8proc_int32_t, std::string_view, bool malformed) {
    if (malformed) valid = false;
  });
  return valid;
}

std::string utf8(std::u32string_view scalars) {
  std::string out;
  for (const char32_t scalar : scalars) {
    const bool valid = scalar < 0xD800 || (scalar > 0xDFFF && scalar <= 0x10FFFF);
    append(out, valid ? static_cast<utf8proc_int32_t>(scalar) : 0xFFFD);
  }
  return out;
}

}  // namespace tavelin::unicode
