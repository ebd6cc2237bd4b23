#include "TavelinHost/Runtime/HostLog.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "TavelinKit/Foundation/Files.hpp"
#include "TavelinKit/Model/AppPaths.hpp"

namespace tavelin {

std::shared_ptr<HostLog> HostLog::make(std::filesystem::path logDirectory,
                                       std::shared_ptr<Executor> mainExecutor, Clock clock) {
  createPrivateDirectories(logDirectory);
  auto name = "host-" + formatLocalDate(clock()) + ".log";
  return std::make_shared<HostLog>(logDirectory / name, std::move(mainExecutor), std::move(clock));
}

std::shared_ptr<HostLog> HostLog::make(std::shared_ptr<Executor> mainExecutor) {
  AppPaths::ensureCreated();
  return make(AppPaths::logDirectory(), std::move(mainExecutor));
}

HostLog::HostLog(std::filesystem::path fileURL, std::shared_ptr<Executor> mainExecutor, Clock clock)
    : fileURL_(std::move(fileURL)),
      mainExecutor_(std::move(mainExecutor)),
      clock_(std::move(clock)) {}

void HostLog::log(std::string category, std::string message) {
  LogEntry entry{Uuid::random(), clock_(), std::move(category), std::move(message)};
  std::string line =
      formatISO8601(entry.timestamp) + " [" + entry.category + "] " + entry.message + "\n";
  {
    std::lock_guard guard(lock_);
    recent_.push_back(entry);
    while (recent_.size() > ringBufferSize) recent_.pop_front();
  }
  queue_.async([self = shared_from_this(), line = std::move(line)] { self->append(line); });
  if (mainExecutor_) {
    mainExecutor_->post([weak = weak_from_this(), entry = std::move(entry)] {
      if (auto self = weak.lock(); self && self->onEntry) self->onEntry(entry);
    });
  }
}

std::vector<LogEntry> HostLog::recent() const {
  std::lock_guard guard(lock_);
  return {recent_.begin(), recent_.end()};
}

void HostLog::flush() const {
  queue_.sync([] {});
}

void HostLog::append(const std::string& line) const {
  // O_APPEND creates the file on first use and never truncates one that exists: a log that
  // cannot be opened (say, made read-only) keeps its earlier lines and this one is dropped.
  const int fd = ::open(fileURL_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
}

}  // namespace tavelin
