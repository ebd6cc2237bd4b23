#pragma once

#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

#include "TavelinKit/Foundation/Bytes.hpp"

namespace tavelin {

// A response as the server writes it. Every response closes its connection.
struct HTTPResponse {
  int status = 200;
  std::string reason = "OK";
  std::map<std::string, std::string> headers;  // written in byte order of their names
  Bytes body;

  // Compact JSON; "{}" when the value cannot be encoded (a string that is not UTF-8).
  static HTTPResponse json(const nlohmann::json& object, int status = 200);
  static HTTPResponse text(std::string_view text, int status = 200);
  // A static file of the web client: never cached without asking, never framed by another
  // page, never sniffed into another type.
  static HTTPResponse file(Bytes bytes, std::string contentType);

  static std::string reasonPhrase(int status);

  // Status line, headers with Content-Length and "Connection: close" forced, blank line, body.
  Bytes serialized() const;
};

namespace MimeTypes {
// By the lower-cased extension of the last path component; "application/octet-stream" when
// unknown or absent.
std::string forPath(std::string_view path);
}  // namespace MimeTypes

}  // namespace tavelin
