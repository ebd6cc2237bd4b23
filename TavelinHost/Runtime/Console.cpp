#include "TavelinHost/Runtime/Console.hpp"

#include <pthread.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

namespace tavelin::console {

namespace {
std::mutex outputLock;
}

void writeLine(const std::string& line) {
  std::lock_guard guard(outputLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  if (line.empty() || line.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
}

namespace {
sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}
}  // namespace

void blockStopSignals() {
  const sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void onStopSignal(std::function<void()> onStop) {
  std::thread([onStop = std::move(onStop)] {
    const sigset_t signals = stopSignals();
    int received = 0;
    sigwait(&signals, &received);
    onStop();
  }).detach();
}

void readLines(std::function<void(std::string)> onLine) {
  std::thread([onLine = std::move(onLine)] {
    for (std::string line; std::getline(std::cin, line);) onLine(line);
  }).detach();
}

}  // namespace tavelin::console
