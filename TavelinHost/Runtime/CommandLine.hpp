#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Commands read one per line by a host without a window, each answered by lines that start
// with "OK" or with "ERROR <reason>".
namespace tavelin {

class CommandLine {
 public:
  using Emit = std::function<void(const std::string&)>;
  using Words = std::vector<std::string>;

  // How a command answers.
  class Reply {
   public:
    explicit Reply(const Emit& emit) : emit_(emit) {}
    void ok(std::string_view detail = {}) const;
    void error(std::string_view reason) const;
    // A line of its own (the rows of a list after its "OK <what> <count>").
    void line(const std::string& text) const { emit_(text); }

   private:
    const Emit& emit_;
  };
  // Given every word of the line, the verb first.
  using Handler = std::function<void(const Words& words, const Reply& reply)>;

  explicit CommandLine(Emit emit) : emit_(std::move(emit)) {}

  // `usage` is how `help` lists it ("stop <portal id> | stop all").
  void add(std::string verb, std::string usage, Handler handler);
  // One line: false for "quit" (answered OK). Blank lines are ignored, an unknown verb answered.
  bool run(const std::string& line);
  // "OK commands: …" lists every command, help and quit last.
  std::string help() const;

 private:
  struct Command {
    std::string verb;
    std::string usage;
    Handler handler;
  };
  const Emit emit_;
  std::vector<Command> commands_;
};

}  // namespace tavelin
