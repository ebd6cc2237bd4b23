#include "TavelinServer/HTTPResponse.hpp"

#include "TavelinKit/Foundation/Json.hpp"
#include "TavelinServer/HTTPRequest.hpp"

namespace tavelin {

namespace {

// Answers of the API are data, never documents to sniff or leak the page's address from.
void addDataHeaders(HTTPResponse& response) {
  response.headers["X-Content-Type-Options"] = "nosniff";
  response.headers["Referrer-Policy"] = "no-referrer";
}

}  // namespace

HTTPResponse HTTPResponse::json(const nlohmann::json& object, int status) {
  HTTPResponse response{status,
                        reasonPhrase(status),
                        {{"Content-Type", "application/json; charset=utf-8"}},
                        toBytes(json::encodeCompact(object).value_or("{}"))};
  addDataHeaders(response);
  return response;
}

HTTPResponse HTTPResponse::text(std::string_view text, int status) {
  HTTPResponse response{
      status, reasonPhrase(status), {{"Content-Type", "text/plain; charset=utf-8"}}, toBytes(text)};
  addDataHeaders(response);
  return response;
}

HTTPResponse HTTPResponse::file(Bytes bytes, std::string contentType) {
  HTTPResponse response{200,
                        "OK",
                        {{"Content-Type", std::move(contentType)},
                         {"Cache-Control", "no-cache"},
                         {"X-Frame-Options", "DENY"},
                         {"Content-Security-Policy", "frame-ancestors 'none'"}},
                        std::move(bytes)};
  addDataHeaders(response);
  return response;
}

std::string HTTPResponse::reasonPhrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    default: return "OK";
  }
}

Bytes HTTPResponse::serialized() const {
  auto all = headers;
  all["Content-Length"] = std::to_string(body.size());
  all["Connection"] = "close";
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  for (const auto& [name, value] : all) head += name + ": " + value + "\r\n";
  head += "\r\n";
  Bytes bytes = toBytes(head);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

std::string MimeTypes::forPath(std::string_view path) {
  const auto slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  const std::string extension =
      dot == std::string_view::npos ? std::string() : asciiLowercased(name.substr(dot + 1));
  if (extension == "html" || extension == "htm") return "text/html; charset=utf-8";
  if (extension == "js") return "application/javascript; charset=utf-8";
  if (extension == "css") return "text/css; charset=utf-8";
  if (extension == "json" || extension == "webmanifest") return "application/json; charset=utf-8";
  if (extension == "png") return "image/png";
  if (extension == "jpg" || extension == "jpeg") return "image/jpeg";
  if (extension == "svg") return "image/svg+xml";
  if (extension == "ico") return "image/x-icon";
  if (extension == "webm") return "video/webm";
  return "application/octet-stream";
}

}  // namespace tavelin
