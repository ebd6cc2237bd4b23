#include "TavelinHost/Runtime/CommandLine.hpp"

#include <sstream>

#include "TavelinHost/Runtime/HostLines.hpp"

namespace tavelin {

void CommandLine::Reply::ok(std::string_view detail) const {
  emit_(detail.empty() ? std::string("OK") : "OK " + std::string(detail));
}

void CommandLine::Reply::error(std::string_view reason) const {
  emit_("ERROR " + std::string(reason));
}

void CommandLine::add(std::string verb, std::string usage, Handler handler) {
  commands_.push_back({std::move(verb), std::move(usage), std::move(handler)});
}

std::string CommandLine::help() const {
  std::string text = "commands: ";
  for (const auto& command : commands_) text += command.usage + " | ";
  return text + "help | quit";
}

bool CommandLine::run(const std::string& line) {
  std::istringstream stream(line);
  Words words;
  for (std::string word; stream >> word;) words.push_back(word);
  if (words.empty()) return true;
  const Reply reply(emit_);
  if (words[0] == "quit" && words.size() == 1) {
    reply.ok();
    return false;
  }
  if (words[0] == "help" && words.size() == 1) {
    reply.ok(help());
    return true;
  }
  for (const auto& command : commands_) {
    if (command.verb == words[0]) {
      command.handler(words, reply);
      return true;
    }
  }
  reply.error("unknown command: " + hostLines::printable(line) + " (try: help)");
  return true;
}

}  // namespace tavelin
