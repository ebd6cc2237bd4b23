#include "TavelinServer/HTTPRequestParser.hpp"

namespace tavelin {

HTTPRequest::ParseResult HTTPRequestParser::parse(std::string_view buffer) {
  HTTPRequest::ParseResult result;
  if (!verdict_) {
    // The blank line may straddle the bytes already searched and the new ones.
    constexpr std::string_view blankLine = "\r\n\r\n";
    const std::size_t from = searched_ < blankLine.size() ? 0 : searched_ - (blankLine.size() - 1);
    const auto end = buffer.find(blankLine, from);
    if (end == std::string_view::npos) {
      searched_ = buffer.size();
      return result;
    }
    auto head = HTTPRequest::parseHead(buffer.substr(0, end), maxBodyLength_);
    if (!head) {
      verdict_ = Kind::invalid;
    } else {
      verdict_ = Kind::request;
      head_ = std::move(head->first);
      bodyLength_ = head->second;
      bodyStart_ = end + blankLine.size();
    }
  }
  if (*verdict_ == Kind::invalid) {
    result.kind = Kind::invalid;
    return result;
  }
  if (buffer.size() < bodyStart_ || buffer.size() - bodyStart_ < bodyLength_) return result;
  result.kind = Kind::request;
  result.request = head_;
  result.request.body = toBytes(buffer.substr(bodyStart_, bodyLength_));
  result.consumed = bodyStart_ + bodyLength_;
  return result;
}

}  // namespace tavelin
