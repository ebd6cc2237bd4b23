#include "TavelinHost/Platform/Wayland/ClipboardText.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tavelin::wayland {

const std::vector<std::string>& clipboardTextTypes() {
  static const std::vector<std::string> types{"text/plain;charset=utf-8", "text/plain",
                                              "UTF8_STRING", "STRING", "TEXT"};
  return types;
}

bool isTextType(std::string_view type) {
  const auto& types = clipboardTextTypes();
  return std::find(types.begin(), types.end(), type) != types.end();
}

std::string bestTextType(const std::vector<std::string>& offered) {
  for (const auto& wanted : clipboardTextTypes()) {
    if (std::find(offered.begin(), offered.end(), wanted) != offered.end()) return wanted;
  }
  return {};
}

std::optional<std::string> readPipe(int fd, std::size_t limit, int waitMilliseconds,
                                    bool& tooLong) {
  tooLong = false;
  std::string text;
  char buffer[4096];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const int status = ::poll(&ready, 1, waitMilliseconds);
    if (status < 0 && errno == EINTR) continue;
    if (status <= 0) return std::nullopt;  // the writer stalled
    const auto got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return text;
    if (text.size() + static_cast<std::size_t>(got) > limit) {
      tooLong = true;
      return std::nullopt;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

bool writeAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace tavelin::wayland
