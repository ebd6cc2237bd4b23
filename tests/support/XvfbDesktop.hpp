#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavelin::testing {

// A private Xvfb desktop with openbox, started and stopped by scripts/xvfb-desktop, plus the
// programs a test runs on it; everything is stopped by process id at the end.
class XvfbDesktop {
 public:
  explicit XvfbDesktop(const std::string& size = "1920x1080", bool windowManager = true) {
    // Owned by this process, so a test that dies without its destructors takes it along.
    const std::string command = std::string(TAVELIN_SOURCE_DIR) + "/scripts/xvfb-desktop start " +
                                size + (windowManager ? "" : " --no-wm") + " --owner " +
                                std::to_string(::getpid());
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run xvfb-desktop");
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::istringstream words(line);
      std::string key;
      words >> key;
      if (key == "display") words >> display_;
      if (key == "pids") {
        for (pid_t pid; words >> pid;) desktopPids_.push_back(pid);
      }
    }
    ::pclose(pipe);
    if (display_.empty()) throw std::runtime_error("xvfb-desktop did not start a display");
  }
  XvfbDesktop(const XvfbDesktop&) = delete;
  XvfbDesktop& operator=(const XvfbDesktop&) = delete;
  ~XvfbDesktop() {
    for (pid_t pid : programs_) stop(pid);
    std::string command = std::string(TAVELIN_SOURCE_DIR) + "/scripts/xvfb-desktop stop";
    for (pid_t pid : desktopPids_) command.append(" ").append(std::to_string(pid));
    [[maybe_unused]] const int ignored = std::system(command.c_str());
  }

  const std::string& display() const { return display_; }
  // The X server's process, for figures of its CPU.
  pid_t serverPid() const { return desktopPids_.empty() ? 0 : desktopPids_.front(); }

  // Starts a program on this desktop; it is stopped with the desktop.
  pid_t run(const std::vector<std::string>& arguments) {
    std::vector<std::string> environment{"DISPLAY=" + display_};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string(*entry).rfind("DISPLAY=", 0) != 0) environment.emplace_back(*entry);
    }
    std::vector<char*> argv, envp;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    // Its output goes nowhere: a program that outlives a crashed test must not keep the test
    // runner waiting for the test's output to end.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + arguments[0]);
    programs_.push_back(pid);
    return pid;
  }

  static void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 40; ++i) {
      const pid_t ended = ::waitpid(pid, nullptr, WNOHANG);
      if (ended == pid || ended < 0) return;  // < 0: a test already reaped it
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }

 private:
  std::string display_;
  std::vector<pid_t> desktopPids_;
  std::vector<pid_t> programs_;
};

}  // namespace tavelin::testing
