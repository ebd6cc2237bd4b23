#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "TavelinHost/Diagnostics/ChildProcess.hpp"
#include "TavelinHost/Diagnostics/NetworkDiagnostics.hpp"
#include "TavelinHost/Platform/PlatformServices.hpp"
#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/DataFolder.hpp"

namespace tavelin {

// What the application model needs from outside: the desktop's ports, where files live, and
// how to run work that blocks. The composition root fills it with a platform's adapters; tests
// with fakes.
struct AppEnvironment {
  std::filesystem::path dataDirectory;  // settings, portals, devices, history, logs
  std::filesystem::path webRoot;        // the phone's web client
  PlatformServices platform;
  ProcessRunner runProcess = systemProcessRunner();
  std::shared_ptr<Executor> background;  // probes and window lists; a worker thread when empty
  Clock clock = systemClock();
  std::function<std::string()> localAddress;  // the LAN address to advertise; the system's if empty
  DataFolder::Writer writer;                  // how files are written; atomically to disk if empty
  int qrScale = 20;  // pixels per QR module: 10 × the screen's scale with a screen, else 20
  // Where "Open at login" writes its entry (the user's autostart folder if empty), and what
  // the entry starts.
  std::filesystem::path autostartDirectory;
  std::filesystem::path executable = "tavelin";
};

}  // namespace tavelin
