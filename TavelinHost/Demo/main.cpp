// tavelin-demo: the streaming server with synthetic portals, driven by a line protocol.
//   stdout: URL, PIN, REQUEST, PAIRED, CONNECTED, DISCONNECTED, INPUT, EVENT, LOG lines
//   stdin:  allow <requestId> | deny <requestId> | pin | quit
#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "TavelinHost/Demo/DemoHost.hpp"
#include "TavelinKit/Model/AppPaths.hpp"
#include "TavelinServer/AppResources.hpp"

namespace {

std::mutex outputLock;
std::mutex stopLock;
std::condition_variable stopRequested;
bool stopping = false;

void emit(const std::string& line) {
  std::lock_guard guard(outputLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void requestStop() {
  std::lock_guard guard(stopLock);
  stopping = true;
  stopRequested.notify_all();
}

}  // namespace

int main() {
  using namespace tavelin;
  // Signals are taken by one thread with sigwait; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  AppPaths::ensureCreated();
  auto host = std::make_shared<DemoHost>(HostSettings::load(), AppPaths::devicesFile(),
                                         AppResources::clientDirectory(), emit);
  try {
    host->start();
  } catch (const std::system_error& error) {
    emit(std::string("LOG [Server] Server failed to start: ") + error.what());
    return 1;
  }

  std::thread([signals] {
    int received = 0;
    sigwait(&signals, &received);
    requestStop();
  }).detach();
  // End of input is not a request to stop: a host started without a terminal keeps running.
  std::thread([host] {
    for (std::string line; std::getline(std::cin, line);) {
      if (!host->command(line)) {
        requestStop();
        return;
      }
    }
  }).detach();

  std::unique_lock guard(stopLock);
  stopRequested.wait(guard, [] { return stopping; });
  guard.unlock();
  host->stop();
  // The stdin and signal threads may still be running; leave without destroying what they use.
  std::fflush(stdout);
  std::_Exit(0);
}
