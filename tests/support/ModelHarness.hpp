#pragma once

#include <unistd.h>

#include <QCoreApplication>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "TavelinHost/App/AppEnvironment.hpp"
#include "TavelinHost/App/AppModel.hpp"
#include "TavelinServer/StreamingServer.hpp"
#include "tests/support/FakeCaptureService.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/FakeInputDesktop.hpp"
#include "tests/support/FakePlatform.hpp"
#include "tests/support/FlakyDisk.hpp"
#include "tests/support/LoopbackClient.hpp"
#include "tests/support/ManualExecutor.hpp"
#include "tests/support/RawPhone.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin::testing {

// Runs what the model queued for its thread.
inline void settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

inline std::uint16_t testPort() { return static_cast<std::uint16_t>(21000 + ::getpid() % 9000); }

// A phone of `device` opening its stream on the model's server, like the page does; `answer`
// receives the server's reply to the upgrade.
inline std::unique_ptr<RawPhone> openStream(AppModel& model, const PairedDevice& device,
                                            std::string& answer) {
  auto phone = std::make_unique<RawPhone>(model.connection().server().port());
  answer = phone->upgrade("/ws?ticket=" + model.connection().server().tickets().issue(device.id));
  return phone;
}

// An application model over fakes of the desktop, in a fresh data folder: its probes run when
// the test says, its tools answer what the test sets, its clock moves when the test moves it.
struct ModelHarness {
  // What the model advertises: an address of a home network, which phones are admitted from.
  static constexpr const char* localAddress = "192.168.77.10";
  std::string advertisedAddress = localAddress;  // what the next model made advertises

  struct Answers {
    std::string curl = "200";
    std::optional<std::string> ufw;
  };

  TemporaryDirectory directory;
  FakeClock clock{utc(2026, 12, 6, 9)};
  FakeInputDesktop fakes;
  std::shared_ptr<FakeCaptureService> capture = std::make_shared<FakeCaptureService>();
  std::shared_ptr<ManualExecutor> background = std::make_shared<ManualExecutor>();
  std::shared_ptr<RecordingVirtualDisplayPlatform> virtualDisplays =
      std::make_shared<RecordingVirtualDisplayPlatform>();
  std::shared_ptr<Answers> answers = std::make_shared<Answers>();
  FlakyDisk disk;
  // What the desktop says of its virtual display and of moving windows (a GNOME one, say).
  std::string virtualDisplayNote, noWindowMoves;
  bool placesOverlays = true;  // an X11-like desktop unless the test says otherwise
  // A desktop that lists no windows: its own chooser, or why none can be shared.
  std::function<std::optional<std::uint32_t>(std::string&)> chooseWindow;
  std::string noWindows;
  std::string windowCaptureNote;  // what a shared window shows here (what covers it, say)

  std::unique_ptr<AppModel> makeModel(HostSettings settings = {}) {
    settings.port = testPort();
    settings.requireApproval = false;
    settings.save(directory.path() / "settings.json");
    std::filesystem::create_directories(directory.path() / "client");
    AppEnvironment environment;
    environment.dataDirectory = directory.path();
    environment.webRoot = directory.path() / "client";
    environment.autostartDirectory = directory.path() / "autostart";
    environment.executable = "/opt/Tavelin Test/bin/tavelin";
    environment.platform.capture = capture;
    environment.platform.windows = fakes.windows;
    environment.platform.applications = fakes.applications;
    environment.platform.windowControl = fakes.control;
    environment.platform.poster = fakes.poster;
    environment.platform.virtualDisplays = virtualDisplays;
    environment.platform.virtualDisplayNote = virtualDisplayNote;
    environment.platform.noWindowMoves = noWindowMoves;
    environment.platform.placesOverlays = placesOverlays;
    environment.platform.chooseWindow = chooseWindow;
    environment.platform.noWindows = noWindows;
    environment.platform.windowCaptureNote = windowCaptureNote;
    environment.runProcess = [answers = answers](const std::string& program,
                                                 const std::vector<std::string>&) {
      if (program == "curl") return std::optional(ProcessResult{0, answers->curl, {}});
      if (program == "ufw" && answers->ufw)
        return std::optional(ProcessResult{0, *answers->ufw, {}});
      return std::optional<ProcessResult>();
    };
    environment.background = background;
    environment.clock = clock.clock();
    environment.localAddress = [address = advertisedAddress] { return address; };
    environment.writer = disk.writer();
    return std::make_unique<AppModel>(environment);
  }

  // Runs the probes waiting on the background, then their results on the main thread.
  int runProbes() {
    const int ran = background->runAll();
    settle();
    return ran;
  }
};

}  // namespace tavelin::testing
