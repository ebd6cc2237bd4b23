#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavelin {

struct ProcessResult {
  int exitCode = -1;   // -1 when it was killed (by the time-out or a signal)
  std::string output;  // standard output
  std::string errors;  // standard error
};

// Runs a program to its end with captured output, in the C locale so its words are the same
// everywhere. Blocks: never on the main thread. Nothing when it cannot be started (not found,
// not executable); a program still running at the time-out is killed. Output beyond 1 MiB per
// stream is dropped.
std::optional<ProcessResult> runProcess(const std::string& program,
                                        const std::vector<std::string>& arguments,
                                        std::chrono::milliseconds timeout);

// How the diagnostics run their tools; tests hand in recorded answers.
using ProcessRunner = std::function<std::optional<ProcessResult>(
    const std::string& program, const std::vector<std::string>& arguments)>;

}  // namespace tavelin
