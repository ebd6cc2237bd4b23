#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tavelin::testing {

// A private headless sway started by scripts/sway-desktop, and the programs a test runs in it as
// the desktop's user; all are stopped by process id at the end.
class SwayDesktop {
 public:
  static bool available() { return std::system("command -v sway foot >/dev/null") == 0; }

  SwayDesktop() {
    // Owned by this process, so a test that dies without its destructors takes it along.
    FILE* pipe = ::popen((script() + " start --owner " + std::to_string(::getpid())).c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run sway-desktop");
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::istringstream words(line);
      std::string key;
      words >> key;
      if (key == "runtime") words >> runtime_;
      if (key == "swaysock") words >> swaysock_;
      if (key == "pids") words >> sway_;
    }
    ::pclose(pipe);
    if (swaysock_.empty()) throw std::runtime_error("sway-desktop did not start sway");
  }
  SwayDesktop(const SwayDesktop&) = delete;
  SwayDesktop& operator=(const SwayDesktop&) = delete;
  ~SwayDesktop() {
    for (pid_t pid : programs_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    [[maybe_unused]] const int ignored = std::system((script() + " stop " + sway_).c_str());
    std::error_code error;
    std::filesystem::remove_all(runtime_, error);
  }

  const std::string& swaysock() const { return swaysock_; }

  // Starts a program in the session with its output going nowhere. The script hands over to
  // the program without forking: the process id is the program's own, as sway reports it.
  pid_t run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {script(), "run", runtime_});
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + arguments.at(3));
    programs_.push_back(pid);
    return pid;
  }

 private:
  static std::string script() { return std::string(TAVELIN_SOURCE_DIR) + "/scripts/sway-desktop"; }

  std::string runtime_, swaysock_, sway_;
  std::vector<pid_t> programs_;
};

}  // namespace tavelin::testing
