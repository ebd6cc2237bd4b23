#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinKit/Model/Geometry.hpp"

namespace tavelin::wayland {

// One connection to sway's IPC socket ($SWAYSOCK). Each request writes one message and blocks
// until its reply, so callers use it from a thread of their own, never from the dispatch pool.
// Any thread may call; requests take turns under the connection's lock. After a reply that
// cannot be trusted (a timeout, a broken or oversized message) the stream is out of step and
// the connection is closed: later requests fail until `reconnectAfter` has passed, then the
// next one connects afresh (sway may have been busy, or restarted).
class SwayIpc {
 public:
  // Message types; a reply carries the type of its request.
  static constexpr std::uint32_t runCommand = 0;
  static constexpr std::uint32_t getWorkspaces = 1;
  static constexpr std::uint32_t getOutputs = 3;
  static constexpr std::uint32_t getTree = 4;
  static constexpr std::uint32_t getVersion = 7;

  // The largest payload accepted either way. A tree with hundreds of windows is well under 1 MiB.
  static constexpr std::uint32_t payloadLimit = 16 * 1024 * 1024;
  static constexpr std::chrono::milliseconds defaultTimeout{3000};
  static constexpr std::chrono::milliseconds defaultReconnectAfter{1000};

  // Nothing, with the reason in `why`, when nobody listens at `socketPath`. `timeout` bounds
  // each request from its first byte sent to its reply's last byte read.
  static std::unique_ptr<SwayIpc> connect(
      const std::string& socketPath, std::string& why,
      std::chrono::milliseconds timeout = defaultTimeout,
      std::chrono::milliseconds reconnectAfter = defaultReconnectAfter);
  ~SwayIpc();
  SwayIpc(const SwayIpc&) = delete;
  SwayIpc& operator=(const SwayIpc&) = delete;

  // Sends one message and returns its reply's JSON; nothing, with the reason, when the
  // exchange fails or the reply is not JSON.
  std::optional<nlohmann::json> request(std::uint32_t type, std::string_view payload,
                                        std::string& why);
  // Runs sway commands (several may be separated by ',' or ';'). False, with sway's own error
  // texts, when any of them failed.
  bool command(const std::string& text, std::string& why);

  // Focuses a window by its container id, which also shows its workspace.
  bool focusWindow(std::int64_t conID, std::string& why);
  // Adds a headless output of 1920×1080, which sway places right of the others. Sway 1.7 has
  // no command that removes it again, and disabling it fails (sway logs that, yet answers
  // success): it lasts as long as the compositor.
  bool createOutput(std::string& why);

 private:
  SwayIpc(int fd, std::string path, std::chrono::milliseconds timeout,
          std::chrono::milliseconds reconnectAfter)
      : fd_(fd), path_(std::move(path)), timeout_(timeout), reconnectAfter_(reconnectAfter) {}
  static int open(const std::string& socketPath, std::string& why);
  std::optional<std::string> exchange(std::uint32_t type, std::string_view payload,
                                      std::string& why);
  void closeLocked(const std::string& why);

  std::mutex lock_;
  int fd_;                                          // -1 once closed; guarded by lock_
  std::string closedBecause_;                       // guarded by lock_
  std::chrono::steady_clock::time_point closedAt_;  // guarded by lock_
  const std::string path_;
  const std::chrono::milliseconds timeout_;
  const std::chrono::milliseconds reconnectAfter_;
};

// A window (a "view") of sway's tree. `rect` is in sway's layout coordinates, the space of the
// outputs' rectangles. `output` is the output it lies on, "__i3" for the scratchpad, which no
// output shows.
struct SwayWindow {
  std::int64_t conID = 0;
  std::int32_t pid = 0;
  std::string appID;  // the Wayland app id, or an X11 window's class
  std::string title;
  ScreenRect rect;
  bool focused = false;
  bool visible = false;
  bool floating = false;
  std::string output;

  friend bool operator==(const SwayWindow&, const SwayWindow&) = default;
};

struct SwayOutput {
  std::string name;
  bool active = false;
  ScreenRect rect;
  double scale = 1;

  friend bool operator==(const SwayOutput&, const SwayOutput&) = default;
};

// The windows of a GET_TREE reply, in the tree's order (tiled before floating within each
// workspace). Whatever cannot be read is skipped: a node without an integer id and pid is no
// window, a missing title, app id or rectangle is left empty.
std::vector<SwayWindow> swayWindows(const nlohmann::json& tree);
// The outputs of a GET_OUTPUTS reply; entries without a name are skipped.
std::vector<SwayOutput> swayOutputs(const nlohmann::json& outputs);

}  // namespace tavelin::wayland
