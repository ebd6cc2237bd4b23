#include "TavelinKit/Foundation/FolderLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "TavelinKit/Foundation/Files.hpp"

namespace tavelin {

namespace {

constexpr const char* lockName = ".lock";

std::string holderOf(int fd) {
  char text[32] = {};
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  std::string pid(text, got > 0 ? static_cast<std::size_t>(got) : 0);
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  return pid.find_first_not_of("0123456789") == std::string::npos ? pid : std::string();
}

}  // namespace

std::optional<FolderLock> FolderLock::acquire(const std::filesystem::path& folder,
                                              std::string& why) {
  const auto file = folder / lockName;
  if (const auto error = createPrivateDirectories(folder)) {
    why = "cannot create " + folder.string() + ": " + error.message();
    return std::nullopt;
  }
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    why = "cannot open " + file.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    const std::string holder = holderOf(fd);
    ::close(fd);
    why = error == EWOULDBLOCK
              ? "another Tavelin host" + (holder.empty() ? "" : " (process " + holder + ")") +
                    " is using " + folder.string()
              : "cannot lock " + file.string() + ": " + std::strerror(error);
    return std::nullopt;
  }
  // Who holds it, for the message the next host shows; the lock does not depend on it.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return FolderLock(fd);
}

FolderLock::FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing lets the lock go
}

}  // namespace tavelin
