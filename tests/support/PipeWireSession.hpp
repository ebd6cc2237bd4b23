#pragma once

#include <fcntl.h>
#include <pipewire/extensions/metadata.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
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

  bool waitFor(const std::filesystem::path& socket, const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(socket)) return true;
      if (!children_.empty() && ::waitpid(children_.back().pid, nullptr, WNOHANG) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    fail(name + " did not start");
    return false;
  }

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
  static void stop(const Child& child) {
    ::kill(child.pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(child.pid, nullptr, WNOHANG) == child.pid) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, nullptr, 0);
  }

  TemporaryDirectory folder_;
  std::vector<Child> children_;
  std::string failure_;
};

}  // namespace tavelin::testing
