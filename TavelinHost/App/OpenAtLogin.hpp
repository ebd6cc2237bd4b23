#pragma once

#include <filesystem>
#include <string>

namespace tavelin {

// Whether the desktop opens Tavelin when the user logs in: an XDG autostart entry of its own,
// `<folder>/<app id>.desktop` (the installed entry's name), that starts this executable. The entry
// is the whole state; the user may also remove it by other means. An entry marked Hidden (how
// desktops turn one off) counts as off, and turning it on again writes it anew.
class OpenAtLogin {
 public:
  static constexpr const char* entryName = TAVELIN_APP_ID ".desktop";

  OpenAtLogin(std::filesystem::path folder, std::filesystem::path executable);
  // $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
  static std::filesystem::path userFolder();

  std::filesystem::path entryPath() const { return folder_ / entryName; }
  bool isOn() const;
  // Writes or removes the entry; false with the reason in `why` when that failed.
  bool set(bool on, std::string& why) const;
  // The entry's text.
  std::string entry() const;

 private:
  std::filesystem::path folder_;
  std::filesystem::path executable_;
};

}  // namespace tavelin
