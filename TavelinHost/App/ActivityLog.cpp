#include "TavelinHost/App/ActivityLog.hpp"

namespace tavelin {

ActivityLog::ActivityLog(const std::filesystem::path& logDirectory,
                         std::shared_ptr<Executor> mainExecutor, Clock clock)
    : log_(HostLog::make(logDirectory, std::move(mainExecutor), std::move(clock))),
      lines_(log_->recent()) {
  // Told on the main executor, which drops what is queued once the application model (and
  // this log with it) is gone.
  log_->onEntry = [this](const LogEntry& entry) {
    lines_ = log_->recent();
    Q_EMIT linesChanged();
    Q_EMIT entryAdded(entry);
  };
}

ActivityLog::~ActivityLog() = default;

void ActivityLog::add(const std::string& category, const std::string& message) {
  log_->log(category, message);
}

HostLogSink ActivityLog::sink() const {
  return [log = log_](std::string_view category, std::string_view message) {
    log->log(std::string(category), std::string(message));
  };
}

}  // namespace tavelin
