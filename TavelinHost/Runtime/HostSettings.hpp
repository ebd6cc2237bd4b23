#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Model/PictureSettings.hpp"

namespace tavelin {

// The user's preferences, persisted as settings.json. Every key is optional when loading (a
// file from an older version keeps its values); a key of the wrong type discards the whole file
// and every field takes its default. No ranges are checked on load: each user clamps.
struct HostSettings {
  std::uint16_t port = 8787;
  int targetFps = 30;
  double jpegQuality = 0.6;
  int maxFrameDimension = 1440;  // 0 or less: no down-scaling
  bool showRegionBorder = true;
  bool requireApproval = true;
  // On GNOME, share through Mutter's own interfaces rather than the desktop portal, which
  // shows its dialog (at every start where it cannot remember the permission).
  bool gnomeWithoutDialog = false;
  // Text copied on the computer goes to the phones watching it. Off unless chosen: it sends
  // whatever the desktop's programs copy, passwords included.
  bool shareClipboard = false;
  // A phone may choose the picture quality of the portal it watches, for this run.
  bool phonesChooseQuality = false;
  // With a tray, closing the window leaves the host running there; otherwise it quits.
  bool keepRunningInTray = false;

  // The defaults when the file is missing, unreadable or malformed (a malformed one is kept
  // aside by the folder).
  static HostSettings load(const StoredFile& file);
  static HostSettings load();  // from the application data directory
  // Atomically, pretty-printed with sorted keys; false when it could not be written (the folder
  // writes it again later).
  bool save(const StoredFile& file) const;
  bool save() const;

  static std::optional<HostSettings> decode(std::string_view json);
  std::string encode() const;

  // What the capture engine is given.
  PictureSettings pictures() const { return {targetFps, jpegQuality, maxFrameDimension}; }

  // What the settings pane stores for a port the user typed.
  static std::uint16_t clampedPort(long long entered);

  friend bool operator==(const HostSettings&, const HostSettings&) = default;
};

}  // namespace tavelin
