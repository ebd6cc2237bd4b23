#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TavelinHost/Runtime/HostLog.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/ManualExecutor.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using testing::utc;

// Runs the test in a fixed time zone 14 hours ahead of UTC, so local and UTC dates differ.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    saved_ ? ::setenv("TZ", saved_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

class HostLogTest : public ::testing::Test {
 protected:
  testing::TemporaryDirectory dir;
  testing::FakeClock clock{utc(2026, 3, 1, 12, 0, 5)};
  std::shared_ptr<testing::ManualExecutor> main = std::make_shared<testing::ManualExecutor>();
};

TEST_F(HostLogTest, FileIsNamedByLocalDateAndLinesCarryUtcTimes) {
  ScopedTimeZone zone("XYZ-14");
  const auto log = HostLog::make(dir / "logs", main, clock.clock());
  EXPECT_EQ(log->fileURL(), dir / "logs" / "host-2026-03-02.log");

  log->log("Host", "Host starting");
  clock.advance(std::chrono::hours(24));  // the name stays fixed across midnight
  log->log("Server", "line one\nline two");
  log->flush();
  EXPECT_EQ(testing::readText(log->fileURL()),
            "2026-03-01T12:00:05Z [Host] Host starting\n"
            "2026-03-02T12:00:05Z [Server] line one\nline two\n");
}

TEST_F(HostLogTest, LaterRunsAppendToTheSameDaysFile) {
  std::filesystem::create_directories(dir / "logs");
  const auto path = dir / "logs" / ("host-" + formatLocalDate(clock.now()) + ".log");
  testing::writeText(path, "earlier run\n");
  const auto log = HostLog::make(dir / "logs", main, clock.clock());
  log->log("Host", "again");
  log->flush();
  EXPECT_EQ(testing::readText(path), "earlier run\n2026-03-01T12:00:05Z [Host] again\n");
}

TEST_F(HostLogTest, KeepsTheNewestThreeHundredEntries) {
  const auto log = HostLog::make(dir / "logs", main, clock.clock());
  for (int i = 1; i <= 301; ++i) log->log("Capture", std::to_string(i));
  const auto recent = log->recent();
  ASSERT_EQ(recent.size(), HostLog::ringBufferSize);
  EXPECT_EQ(recent.front().message, "2");
  EXPECT_EQ(recent.back().message, "301");
  EXPECT_NE(recent.front().id, recent.back().id);
  log->flush();
  const auto text = testing::readText(log->fileURL());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 301);  // the file keeps everything
}

TEST_F(HostLogTest, EntriesReachTheMainExecutorOnlyWhileTheLogLives) {
  auto log = HostLog::make(dir / "logs", main, clock.clock());
  std::vector<LogEntry> told;
  log->onEntry = [&](const LogEntry& entry) { told.push_back(entry); };
  log->log("Pairing", "Paired Pixel 8");
  EXPECT_TRUE(told.empty());  // not on the logging thread
  EXPECT_EQ(main->runAll(), 1);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], log->recent()[0]);
  EXPECT_EQ(told[0].timestamp, clock.now());

  log->log("Pairing", "after");
  log->flush();
  log.reset();
  EXPECT_EQ(main->runAll(), 1);  // ran, but found no log and did nothing
  EXPECT_EQ(told.size(), 1u);
}

TEST_F(HostLogTest, LinesFromManyThreadsAreWholeAndAllWritten) {
  const auto log = HostLog::make(dir / "logs", main, clock.clock());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) log->log("Input", std::string(50, static_cast<char>('a' + t)));
    });
  }
  for (auto& thread : threads) thread.join();
  log->flush();
  std::istringstream lines(testing::readText(log->fileURL()));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_EQ(line.size(), std::string("2026-03-01T12:00:05Z [Input] ").size() + 50) << line;
  }
  EXPECT_EQ(count, 400);
}

TEST_F(HostLogTest, UnwritableFileNeverFailsTheCallerNorReplacesTheFile) {
  const auto log = HostLog::make(dir / "logs", main, clock.clock());
  std::filesystem::create_directories(log->fileURL() / "occupied");  // cannot be opened for writing
  log->log("Host", "still recorded");
  log->flush();
  EXPECT_EQ(log->recent().size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(log->fileURL() / "occupied"));
}

}  // namespace
}  // namespace tavelin
