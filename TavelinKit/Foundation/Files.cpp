#include "TavelinKit/Foundation/Files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tavelin {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// Owns a file descriptor; closing reports its own error because a failed close can mean the
// data never reached the file.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  std::error_code close() {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0 ? std::error_code{} : lastError();
  }

 private:
  int fd_;
};

std::error_code writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

std::error_code writeAndSync(const std::filesystem::path& path, std::string_view bytes) {
  FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.valid()) return lastError();
  if (auto error = writeAll(file.get(), bytes)) return error;
  if (::fsync(file.get()) != 0) return lastError();
  return file.close();
}

void syncDirectory(const std::filesystem::path& directory) {
  // Makes the rename durable; a file system that cannot sync directories still renamed.
  FileDescriptor dir(
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

std::error_code writeFileAtomically(const std::filesystem::path& target, std::string_view bytes) {
  std::filesystem::path temporary = target;
  temporary += ".tmp";
  std::error_code error = writeAndSync(temporary, bytes);
  if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) error = lastError();
  if (error) {
    ::unlink(temporary.c_str());
    return error;
  }
  syncDirectory(target.parent_path());
  return {};
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::size_t maxBytes) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::nullopt;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string contents;
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) return contents;
    if (contents.size() + static_cast<std::size_t>(got) > maxBytes) return std::nullopt;
    contents.append(buffer, static_cast<std::size_t>(got));
  }
}

std::error_code createPrivateDirectories(const std::filesystem::path& directory) {
  if (directory.empty()) return {};
  struct stat info {};
  if (::stat(directory.c_str(), &info) == 0) {
    return S_ISDIR(info.st_mode) ? std::error_code{}
                                 : std::make_error_code(std::errc::not_a_directory);
  }
  const auto parent = directory.parent_path();
  if (parent != directory) {
    if (auto error = createPrivateDirectories(parent)) return error;
  }
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return lastError();
  return {};
}

}  // namespace tavelin
