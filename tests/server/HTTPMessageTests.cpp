#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "TavelinServer/HTTPRequest.hpp"
#include "TavelinServer/HTTPRequestParser.hpp"
#include "TavelinServer/HTTPResponse.hpp"
#include "TavelinServer/ReceiveBuffer.hpp"

namespace tavelin {
namespace {

using Kind = HTTPRequest::ParseResult::Kind;

Kind kindOf(std::string_view buffer) { return HTTPRequest::parseResult(buffer).kind; }

TEST(HTTPRequest, ParsesTheRequestLineTargetAndQuery) {
  const std::string text = "get /a%20b?x=1+2&y=%41&&z HTTP/1.1\r\n\r\n";
  const auto parsed = HTTPRequest::parse(text);
  ASSERT_TRUE(parsed);
  const auto& [request, consumed] = *parsed;
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/a%20b?x=1+2&y=%41&&z");
  EXPECT_EQ(request.path, "/a b");
  EXPECT_EQ(request.query,
            (std::map<std::string, std::string>{{"x", "1 2"}, {"y", "A"}, {"z", ""}}));
  EXPECT_EQ(consumed, text.size());

  EXPECT_EQ(HTTPRequest::parse("GET /p?a+b=c HTTP/1.1\r\n\r\n")->first.query.count("a+b"), 1u);
  EXPECT_EQ(HTTPRequest::parse("GET /%zz HTTP/1.1\r\n\r\n")->first.path, "/%zz");
  EXPECT_EQ(HTTPRequest::parse("GET /%C3%28 HTTP/1.1\r\n\r\n")->first.path,
            "/%C3%28");  // not UTF-8
  EXPECT_EQ(HTTPRequest::parse("GET /a+b%2 HTTP/1.1\r\n\r\n")->first.path, "/a+b%2");
  EXPECT_EQ(HTTPRequest::parse("GET  /x\r\n\r\n")->first.target, "/x");
  EXPECT_EQ(HTTPRequest::parse("GET /?k=v=w&k=last&t=%ZZ+1 HTTP/1.1\r\n\r\n")->first.query,
            (std::map<std::string, std::string>{{"k", "last"}, {"t", "%ZZ 1"}}));
}

TEST(HTTPRequest, ReportsIncompleteAndInvalidBuffers) {
  EXPECT_EQ(kindOf("GET / HTTP/1.1\r\nHost: x\r\n"), Kind::incomplete);
  EXPECT_EQ(kindOf(""), Kind::incomplete);
  EXPECT_EQ(kindOf("GET / HTTP/1.1\nHost: x\n\n"), Kind::incomplete);  // bare LF is no break
  EXPECT_EQ(kindOf("GET\r\n\r\n"), Kind::invalid);
  EXPECT_EQ(kindOf("\r\n\r\n"), Kind::invalid);
  EXPECT_EQ(kindOf("GET / HTTP/1.1\r\nX: \xFF\r\n\r\n"), Kind::invalid);
}

TEST(HTTPRequest, BodiesNeedAValidDeclaredLength) {
  const auto withLength = [](const std::string& length, std::size_t bodyBytes) {
    return "POST /api HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" +
           std::string(bodyBytes, 'b');
  };
  EXPECT_EQ(kindOf(withLength("65536", 65536)), Kind::request);
  for (const char* bad : {"65537", "-1", "abc", "", "1 0", "99999999999999999999", "++5"}) {
    EXPECT_EQ(kindOf(withLength(bad, 70000)), Kind::invalid) << bad;
  }
  EXPECT_EQ(HTTPRequest::parse(withLength("+5", 5))->first.body.size(), 5u);
  EXPECT_EQ(kindOf(withLength("10", 4)), Kind::incomplete);
  const std::string longer = withLength("10", 15);
  const auto parsed = HTTPRequest::parse(longer);
  EXPECT_EQ(parsed->second, longer.size() - 5);
  EXPECT_EQ(parsed->first.body, Bytes(10, 'b'));
}

TEST(HTTPRequest, HeadersAreTrimmedLowerCasedAndTheLastRepeatWins) {
  const auto request = HTTPRequest::parse(
                           "GET / HTTP/1.1\r\nX-Foo : bar \r\nHost: a\r\nhost: b\r\nno colon\r\n"
                           "sec-websocket-key: k\r\n\r\n")
                           ->first;
  EXPECT_EQ(request.headers.at("x-foo"), "bar");
  EXPECT_EQ(request.header("HOST"), "b");
  EXPECT_EQ(request.header("Sec-WebSocket-Key"), "k");
  EXPECT_EQ(request.headers.size(), 3u);

  const auto upgrade = [](const std::string& headers) {
    return HTTPRequest::parse("GET /ws HTTP/1.1\r\n" + headers + "\r\n")
        ->first.isWebSocketUpgrade();
  };
  EXPECT_TRUE(upgrade("Upgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n"));
  EXPECT_FALSE(upgrade("Upgrade: websocket\r\n"));
  EXPECT_FALSE(upgrade("Upgrade: h2c\r\nConnection: upgrade\r\n"));
}

// A connection sees its buffer grow a piece at a time. Reading it incrementally must end exactly
// where parsing the whole buffer at once ends, whatever the pieces.
TEST(HTTPRequestParser, AgreesWithAWholeParseHoweverTheBytesArrive) {
  const std::vector<std::string> requests{
      "GET /a%20b?x=1 HTTP/1.1\r\nHost: h\r\n\r\nextra",
      "POST /api/pair HTTP/1.1\r\nContent-Length: 11\r\n\r\n{\"pin\":\"1\"}",
      "GET\r\n\r\n",
      "GET / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n",
      "GET / HTTP/1.1\r\nX: \xFF\r\n\r\n",
      "GET / HTTP/1.1\r\n\r",  // never ends
  };
  for (const auto& text : requests) {
    const auto whole = HTTPRequest::parseResult(text);
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, text.size()}) {
      HTTPRequestParser parser;
      HTTPRequest::ParseResult last;
      std::size_t fed = 0;
      while (fed < text.size()) {
        fed = std::min(text.size(), fed + piece);
        last = parser.parse(std::string_view(text).substr(0, fed));
        // Whatever the pieces, a verdict comes as soon as the bytes allow it, never later.
        if (last.kind != Kind::incomplete) {
          EXPECT_EQ(last.kind, HTTPRequest::parseResult(text.substr(0, fed)).kind);
          break;
        }
      }
      EXPECT_EQ(last.kind, whole.kind) << text << " in pieces of " << piece;
      EXPECT_EQ(last.consumed, whole.consumed);
      EXPECT_EQ(last.request.target, whole.request.target);
      EXPECT_EQ(last.request.path, whole.request.path);
      EXPECT_EQ(last.request.headers, whole.request.headers);
      EXPECT_EQ(last.request.body, whole.request.body);
    }
  }
}

TEST(ReceiveBuffer, KeepsUnconsumedBytesInOrderWhileReusingItsRoom) {
  ReceiveBuffer buffer;
  std::string expected;
  for (int round = 0; round < 2000; ++round) {
    const std::string piece = std::to_string(round) + ",";
    auto room = buffer.prepare(64);
    std::copy(piece.begin(), piece.end(), room.begin());
    buffer.commit(piece.size());
    expected += piece;
    if (round % 3 == 2) {  // consume a little less than arrived
      const std::size_t eaten = std::min(buffer.size(), piece.size() * 2);
      buffer.consume(eaten);
      expected.erase(0, eaten);
    }
    ASSERT_EQ(buffer.data(), expected) << round;
  }
  buffer.consume(buffer.size() + 10);
  EXPECT_TRUE(buffer.empty());
}

TEST(HTTPResponse, SerialisesSortedHeadersAndAlwaysCloses) {
  const auto forbidden = HTTPResponse::text("Forbidden", 403);
  EXPECT_EQ(asText(forbidden.serialized()),
            "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 9\r\n"
            "Content-Type: text/plain; charset=utf-8\r\nReferrer-Policy: no-referrer\r\n"
            "X-Content-Type-Options: nosniff\r\n\r\nForbidden");

  HTTPResponse keepAlive{
      200, "OK", {{"Connection", "keep-alive"}, {"a-lower", "1"}}, toBytes("hi")};
  const std::string text(asText(keepAlive.serialized()));
  EXPECT_NE(text.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(text.find("keep-alive"), std::string::npos);
  EXPECT_LT(text.find("Content-Length"), text.find("a-lower"));  // byte order

  for (int status : {200, 202, 418}) EXPECT_EQ(HTTPResponse::reasonPhrase(status), "OK");
  EXPECT_EQ(HTTPResponse::reasonPhrase(405), "Method Not Allowed");

  const auto json = HTTPResponse::json({{"token", "abc"}, {"ok", true}}, 202);
  EXPECT_EQ(nlohmann::json::parse(asText(json.body)),
            (nlohmann::json{{"token", "abc"}, {"ok", true}}));
  EXPECT_EQ(json.headers.at("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(asText(HTTPResponse::json({{"bad", "\xFF"}}).body), "{}");
}

TEST(HTTPResponse, FilesCannotBeFramedOrSniffed) {
  const auto file = HTTPResponse::file(toBytes("<html>"), "text/html; charset=utf-8");
  EXPECT_EQ(file.status, 200);
  EXPECT_EQ(file.headers.at("Cache-Control"), "no-cache");
  EXPECT_EQ(file.headers.at("X-Frame-Options"), "DENY");
  EXPECT_EQ(file.headers.at("Content-Security-Policy"), "frame-ancestors 'none'");
  EXPECT_EQ(file.headers.at("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(file.headers.at("Referrer-Policy"), "no-referrer");
}

TEST(MimeTypes, FollowTheLowerCasedExtension) {
  EXPECT_EQ(MimeTypes::forPath("/x/Index.HTML"), "text/html; charset=utf-8");
  EXPECT_EQ(MimeTypes::forPath("site.webmanifest"), "application/json; charset=utf-8");
  EXPECT_EQ(MimeTypes::forPath("js/app.js"), "application/javascript; charset=utf-8");
  EXPECT_EQ(MimeTypes::forPath("README"), "application/octet-stream");
  EXPECT_EQ(MimeTypes::forPath("a.d/README"), "application/octet-stream");
  EXPECT_EQ(MimeTypes::forPath("icon.svg"), "image/svg+xml");
  EXPECT_EQ(MimeTypes::forPath("media/awake.webm"), "video/webm");
}

}  // namespace
}  // namespace tavelin
