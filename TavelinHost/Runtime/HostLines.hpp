#pragma once

#include <string>
#include <string_view>

#include "TavelinKit/Foundation/Uuid.hpp"
#include "TavelinKit/Model/Portal.hpp"
#include "TavelinKit/Model/ViewerMessages.hpp"

// The lines a host without a window prints as things happen: one event per line, its kind
// first. Names and messages lose their control characters, so that one event is one line.
namespace tavelin::hostLines {

std::string url(std::string_view url);
std::string pin(std::string_view pin);
std::string request(const Uuid& request, std::string_view deviceName);
std::string paired(const Uuid& device, std::string_view name);
std::string connected(const Uuid& device);
std::string disconnected(const Uuid& device);
std::string input(const InputMessage& message);
std::string log(std::string_view category, std::string_view message);
// "OK portal <id> <type> <name>", then " (<state>)" when a state is given.
std::string portal(const Portal& portal, std::string_view state = {});
// A name or message as it may appear inside one line.
std::string printable(std::string_view text);

}  // namespace tavelin::hostLines
