#pragma once

#include <fcntl.h>
#include <pipewire/extensions/metadata.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "TavelinHost/Platform/Wayland/PipeWireApi.hpp"
#include "tests/support/TemporaryDirectory.hpp"

extern char** environ;

namespace tavelin::testing {

// A private PipeWire daemon with WirePlumber (which links streams) and the session bus
// WirePlumber wants, all in a runtime folder of their own. This process is pointed at that
// folder, so PipeWire clients made here reach this daemon. Everything is stopped by process id
// at the end, and also if the test dies (the children get SIGTERM with it).
class PipeWireSession {
 public:
  PipeWireSession() {
    const auto runtime = folder_ / "run";
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    const std::string bus = "unix:path=" + (runtime / "bus").string();
    const std::pair<const char*, std::string> environment[] = {
        {"XDG_RUNTIME_DIR", runtime.string()},
        {"PIPEWIRE_RUNTIME_DIR", runtime.string()},
        {"XDG_CONFIG_HOME", (folder_ / "config").string()},
        {"XDG_STATE_HOME", (folder_ / "state").string()},
        {"DBUS_SESSION_BUS_ADDRESS", bus},
    };
    for (const auto& [name, value] : environment) ::setenv(name, value.c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");

    spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus}, "dbus");
    if (!waitFor(runtime / "bus", "dbus-daemon")) return;
    spawn({"pipewire"}, "pipewire");
    if (!waitFor(runtime / "pipewire-0", "pipewire")) return;
    spawn({"wireplumber"}, "wireplumber");
    waitForSessionManager();
  }
  PipeWireSession(const PipeWireSession&) = delete;
  PipeWireSession& operator=(const PipeWireSession&) = delete;
  ~PipeWireSession() {
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) stop(*it);
  }

  // Empty when everything runs; else what went wrong, with the daemons' own words.
  const std::string& failure() const { return failure_; }

 private:
  void spawn(const std::vector<std::string>& arguments, const std::string& name) {
    std::vector<char*> argv, envp;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    const std::string log = (folder_ / (name + ".log")).string();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out >= 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
      }
      ::execvpe(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    if (pid > 0) children_.push_back({pid, name, log});
  }

  // Until the daemon's socket appears in the runtime folder (told by inotify) or the daemon, the
  // newest child, ends first (told by its pidfd).
  bool waitFor(const std::filesystem::path& socket, const std::string& name) {
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0)
      ::inotify_add_watch(watch, socket.parent_path().c_str(), IN_CREATE | IN_MOVED_TO);
    const int child = children_.empty() ? -1 : pidfd(children_.back().pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    bool up = false;
    for (;;) {
      if ((up = std::filesystem::exists(socket))) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd ready[2] = {{watch, POLLIN, 0}, {child, POLLIN, 0}};
      if (::poll(ready, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
      if (ready[1].revents & POLLIN) {
        up = std::filesystem::exists(socket);
        break;  // the daemon ended
      }
      char events[4096];
      while (watch >= 0 && ::read(watch, events, sizeof events) > 0) {
      }
    }
    if (watch >= 0) ::close(watch);
    if (child >= 0) ::close(child);
    if (!up) fail(name + " did not start");
    return up;
  }

  // A descriptor that becomes readable when the process ends; -1 where the kernel has none.
  static int pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

  // WirePlumber is ready to link once it has published the "default" metadata.
  void waitForSessionManager() {
    struct Watch {
      std::mutex lock;
      std::condition_variable seen;
      bool ready = false;
    } watch;
    pw_init(nullptr, nullptr);
    pw_thread_loop* loop = pw_thread_loop_new("tavelin.test.session", nullptr);
    pw_context* context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    pw_thread_loop_start(loop);
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook listener{};
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = [](void* data, std::uint32_t, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict* props) {
      const char* name = props ? spa_dict_lookup(props, "metadata.name") : nullptr;
      if (std::string(type) != PW_TYPE_INTERFACE_Metadata || !name ||
          std::string(name) != "default")
        return;
      auto& w = *static_cast<Watch*>(data);
      std::lock_guard guard(w.lock);
      w.ready = true;
      w.seen.notify_all();
    };
    {
      wayland::pw::LoopLock lock(loop);
      core = pw_context_connect(context, nullptr, 0);
      if (core != nullptr) {
        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        wayland::pw::listen(registry, &listener, &events, &watch);
      }
    }
    bool ready = false;
    if (core != nullptr) {
      std::unique_lock guard(watch.lock);
      ready = watch.seen.wait_for(guard, std::chrono::seconds(20), [&] { return watch.ready; });
    }
    {
      wayland::pw::LoopLock lock(loop);
      if (registry != nullptr) {
        spa_hook_remove(&listener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
      }
      if (core != nullptr) pw_core_disconnect(core);
    }
    pw_thread_loop_stop(loop);
    pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
    if (!ready) fail(core ? "wireplumber did not get ready" : "cannot connect to pipewire");
  }

  void fail(const std::string& what) {
    failure_ = "The private PipeWire session did not start: " + what + ".";
    for (const auto& child : children_)
      failure_ += "\n--- " + child.name + " ---\n" + contents(child.log);
  }

  static std::string contents(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "r")) {
      char chunk[4096];
      for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, n);
      std::fclose(file);
    }
    return text;
  }

  struct Child {
    pid_t pid;
    std::string name;
    std::string log;
  };
  // Asks the child to end, gives it two seconds (waiting on its pidfd), then ends it.
  static void stop(const Child& child) {
    const int ended = pidfd(child.pid);
    ::kill(child.pid, SIGTERM);
    if (ended >= 0) {
      pollfd ready{ended, POLLIN, 0};
      while (::poll(&ready, 1, 2000) < 0 && errno == EINTR) {
      }
      ::close(ended);
    }
    if (::waitpid(child.pid, nullptr, WNOHANG) == child.pid) return;
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, nullptr, 0);
  }

  TemporaryDirectory folder_;
  std::vector<Child> children_;
  std::string failure_;
};

}  // namespace tavelin::testing
