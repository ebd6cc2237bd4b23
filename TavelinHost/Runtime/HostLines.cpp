#include "TavelinHost/Runtime/HostLines.hpp"

#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin::hostLines {

std::string printable(std::string_view text) { return unicode::removeControls(std::string(text)); }

std::string url(std::string_view url) { return "URL " + printable(url); }

std::string pin(std::string_view pin) { return "PIN " + printable(pin); }

std::string request(const Uuid& request, std::string_view deviceName) {
  return "REQUEST " + request.string() + " " + printable(deviceName);
}

std::string paired(const Uuid& device, std::string_view name) {
  return "PAIRED " + device.string() + " " + printable(name);
}

std::string connected(const Uuid& device) { return "CONNECTED " + device.string(); }

std::string disconnected(const Uuid& device) { return "DISCONNECTED " + device.string(); }

std::string input(const InputMessage& message) { return "INPUT " + message.jsonString(); }

std::string log(std::string_view category, std::string_view message) {
  return "LOG [" + printable(category) + "] " + printable(message);
}

std::string portal(const Portal& portal, std::string_view state) {
  std::string line = "OK portal " + portal.id.string() + " " +
                     std::string(rawValue(portal.type())) + " " + printable(portal.name);
  if (!state.empty()) line += " (" + std::string(state) + ")";
  return line;
}

}  // namespace tavelin::hostLines
