#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text helpers on UTF-8. Malformed bytes are read as U+FFFD, one per bad byte, and written
// back as U+FFFD, so every result is valid UTF-8 whatever came in.
namespace tavelin::unicode {

// The first `limit` user-perceived characters (extended grapheme clusters): a flag, an
// emoji with a skin-tone modifier or a ZWJ family each count as one.
std::string prefixGraphemes(std::string_view text, std::size_t limit);
std::size_t graphemeCount(std::string_view text);

// Every scalar except those that can break a line or turn text around where it is shown:
// general categories Cc (controls), Cf (format characters, the bidirectional controls among
// them) and Zl, Zp (the line and paragraph separators).
std::string removeControls(std::string_view text);

// Without white space and line breaks at either end: categories Zs, Zl, Zp and
// U+0009…U+000D, U+0085.
std::string trimWhitespaceAndNewlines(std::string_view text);

// Without horizontal white space at either end (category Zs and tab); line breaks stay.
std::string trimHorizontalWhitespace(std::string_view text);

bool isValidUTF8(std::string_view text);

// Scalars as UTF-8; a surrogate or a value past U+10FFFF is written as U+FFFD.
std::string utf8(std::u32string_view scalars);

}  // namespace tavelin::unicode
