#pragma once

#include <QObject>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TavelinHost/Runtime/HostLog.hpp"
#include "TavelinKit/Foundation/LogSink.hpp"

namespace tavelin {

// The activity log: what the host did, for the window's activity view and the day's log file.
// Lines may be added from any thread; the view's state changes on the main thread.
class ActivityLog final : public QObject {
  Q_OBJECT
 public:
  ActivityLog(const std::filesystem::path& logDirectory, std::shared_ptr<Executor> mainExecutor,
              Clock clock);
  ~ActivityLog() override;

  // The newest entries, oldest first.
  const std::vector<LogEntry>& lines() const { return lines_; }
  void add(const std::string& category, const std::string& message);
  // `add` for the services, which may outlive the log (a late line is dropped then).
  HostLogSink sink() const;
  // Waits until every line so far is in the file.
  void flush() const { log_->flush(); }

 Q_SIGNALS:
  void linesChanged();
  // Every entry as it is added, for a terminal that prints them.
  void entryAdded(const tavelin::LogEntry& entry);

 private:
  std::shared_ptr<HostLog> log_;
  std::vector<LogEntry> lines_;
};

}  // namespace tavelin
