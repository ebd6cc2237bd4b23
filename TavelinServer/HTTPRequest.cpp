#include "TavelinServer/HTTPRequest.hpp"

#include <algorithm>
#include <cstdint>

#include "TavelinKit/Foundation/UnicodeText.hpp"
#include "TavelinServer/HTTPRequestParser.hpp"

namespace tavelin {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high << 4 | low));
    i += 2;
  }
  if (!unicode::isValidUTF8(out)) return std::nullopt;
  return out;
}

std::string decodedOrRaw(std::string_view text) {
  auto decoded = percentDecode(text);
  return decoded ? std::move(*decoded) : std::string(text);
}

// A decimal with at most one leading sign; nothing for anything else, overflow included.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

// Splits at every occurrence of `separator`.
template <typename F>
void forEachPiece(std::string_view text, std::string_view separator, F&& f) {
  for (;;) {
    const auto at = text.find(separator);
    f(text.substr(0, at));
    if (at == std::string_view::npos) return;
    text.remove_prefix(at + separator.size());
  }
}

}  // namespace

std::string asciiLowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<std::pair<HTTPRequest, std::size_t>> HTTPRequest::parseHead(std::string_view head,
                                                                          std::size_t maxBody) {
  if (!unicode::isValidUTF8(head)) return std::nullopt;
  HTTPRequest request;
  bool first = true;
  bool malformed = false;
  forEachPiece(head, "\r\n", [&](std::string_view line) {
    if (first) {
      first = false;
      std::string_view pieces[2];
      std::size_t count = 0;
      forEachPiece(line, " ", [&](std::string_view piece) {
        if (!piece.empty() && count < 2) pieces[count++] = piece;
      });
      if (count < 2) {
        malformed = true;
        return;
      }
      request.method = std::string(pieces[0]);
      for (char& c : request.method) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
      request.target = std::string(pieces[1]);
      return;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return;
    request.headers[asciiLowercased(unicode::trimHorizontalWhitespace(line.substr(0, colon)))] =
        unicode::trimHorizontalWhitespace(line.substr(colon + 1));
  });
  if (malformed) return std::nullopt;
  const auto declared = request.headers.find("content-length");
  const auto length = parseDecimal(declared == request.headers.end() ? "0" : declared->second);
  if (!length || *length < 0 || static_cast<std::uint64_t>(*length) > maxBody) return std::nullopt;
  std::tie(request.path, request.query) = splitTarget(request.target);
  return std::pair{std::move(request), static_cast<std::size_t>(*length)};
}

HTTPRequest::ParseResult HTTPRequest::parseResult(std::string_view buffer) {
  return HTTPRequestParser().parse(buffer);
}

std::optional<std::pair<HTTPRequest, std::size_t>> HTTPRequest::parse(std::string_view buffer) {
  auto result = parseResult(buffer);
  if (result.kind != ParseResult::Kind::request) return std::nullopt;
  return std::pair{std::move(result.request), result.consumed};
}

std::pair<std::string, std::map<std::string, std::string>> HTTPRequest::splitTarget(
    std::string_view target) {
  std::map<std::string, std::string> query;
  const auto mark = target.find('?');
  if (mark == std::string_view::npos) return {decodedOrRaw(target), query};
  forEachPiece(target.substr(mark + 1), "&", [&](std::string_view piece) {
    if (piece.empty()) return;
    const auto equals = piece.find('=');
    const std::string_view rawKey = piece.substr(0, equals);
    std::string rawValue(equals == std::string_view::npos ? std::string_view{}
                                                          : piece.substr(equals + 1));
    std::replace(rawValue.begin(), rawValue.end(), '+', ' ');
    query[decodedOrRaw(rawKey)] = decodedOrRaw(rawValue);
  });
  return {decodedOrRaw(target.substr(0, mark)), query};
}

std::optional<std::string> HTTPRequest::header(std::string_view name) const {
  const auto found = headers.find(asciiLowercased(name));
  if (found == headers.end()) return std::nullopt;
  return found->second;
}

bool HTTPRequest::isWebSocketUpgrade() const {
  const auto upgrade = header("upgrade");
  const auto connection = header("connection");
  return upgrade && connection &&
         asciiLowercased(*upgrade).find("websocket") != std::string::npos &&
         asciiLowercased(*connection).find("upgrade") != std::string::npos;
}

}  // namespace tavelin
