// Phone messages arrive from any device on the network: parsing must never crash, leak or hang,
// and whatever it accepts must respect the length limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinKit/Foundation/UnicodeText.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavelin;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto message = InputMessage::parse(text);
  if (!message) return 0;
  if (message->type.empty()) std::abort();
  const auto within = [](const std::optional<std::string>& value, std::size_t limit) {
    return !value || unicode::graphemeCount(*value) <= limit;
  };
  if (!within(message->text, InputMessage::maxTextLength) ||
      !within(message->key, InputMessage::maxKeyLength) ||
      !within(message->portalId, InputMessage::maxPortalIdLength)) {
    std::abort();
  }
  (void)parseSpecialKey(message->key);
  return 0;
}
