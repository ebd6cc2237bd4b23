#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "TavelinKit/Dispatch/Executor.hpp"
#include "TavelinKit/Dispatch/SerialQueue.hpp"
#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/DateFormat.hpp"
#include "TavelinKit/Foundation/Uuid.hpp"

namespace tavelin {

struct LogEntry {
  Uuid id;
  Date timestamp;
  std::string category;  // "Host", "Portals", "Pairing", "Server", "Capture", "Windows", "Input"
  std::string message;

  friend bool operator==(const LogEntry&, const LogEntry&) = default;
};

// What the host did, for the activity view and for the day's log file. `log` may be called from
// any thread: the list is guarded by the lock, the file is written only on the "tavelin.log"
// queue (lines land in the order they were logged), and onEntry is told on the main executor.
class HostLog : public std::enable_shared_from_this<HostLog> {
 public:
  static constexpr std::size_t ringBufferSize = 300;

  // The file is "host-<local date>.log" in `logDirectory`, fixed for the life of the log so one
  // run writes one file even across midnight; later runs that day append to it.
  static std::shared_ptr<HostLog> make(std::filesystem::path logDirectory,
                                       std::shared_ptr<Executor> mainExecutor,
                                       Clock clock = systemClock());
  // In the application data directory.
  static std::shared_ptr<HostLog> make(std::shared_ptr<Executor> mainExecutor);

  void log(std::string category, std::string message);

  // The newest entries, oldest first.
  std::vector<LogEntry> recent() const;
  const std::filesystem::path& fileURL() const { return fileURL_; }

  // Waits until every line logged so far is in the file.
  void flush() const;

  // Set once, before logging starts.
  std::function<void(const LogEntry&)> onEntry;

  HostLog(std::filesystem::path fileURL, std::shared_ptr<Executor> mainExecutor, Clock clock);

 private:
  void append(const std::string& line) const;  // on queue_

  const std::filesystem::path fileURL_;
  const std::shared_ptr<Executor> mainExecutor_;
  const Clock clock_;
  const SerialQueue queue_{"tavelin.log"};
  mutable std::mutex lock_;
  std::deque<LogEntry> recent_;  // guarded by lock_
};

}  // namespace tavelin
