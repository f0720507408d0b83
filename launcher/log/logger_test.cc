#include "launcher/log/logger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/testing.h"

namespace {

using testkit::TempDir;

std::tm FixedTime(int sec = 3) {
  std::tm tm{};
  tm.tm_year = 2019 - 1900;
  tm.tm_mon = 9;
  tm.tm_mday = 17;
  tm.tm_hour = 9;
  tm.tm_min = 5;
  tm.tm_sec = sec;
  return tm;
}

// The local time stands still at FixedTime(sec), sec as the test sets it.
class FixedClock : public platform::EnvWrapper {
 public:
  std::tm LocalTime() override { return FixedTime(sec); }
  int sec = 3;
};

int CountLines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

TEST(LoggerTest, LineFormatAndFileName) {
  TempDir tmp;
  Logger log;
  FixedClock clock;
  platform::ScopedEnv use(&clock);
  std::string dir = tmp / "log" + platform::kPathSep;
  log.Init("Renewel", dir, Logger::kToFile, 200, 160000);
  EXPECT_EQ(log.CurrentFileName(), dir + platform::kPathSep + "Renewel_2019_10_17_9_5_3.log.1");
  EXPECT_TRUE(platform::IsDirectory(dir));  // created on the first open
  { LogEntry(log, LogLevel::INFO) << "argc:" << 3 << " x " << 2.5 << " " << std::string("s"); }
  std::string text = testkit::ReadFile(log.CurrentFileName());
  std::string tid = std::to_string(platform::CurrentThreadId());
  EXPECT_EQ(text, "[" + tid + "] INFO:2019-10-17 9:5:3 argc:3 x 2.5 s\n");
}

TEST(LoggerTest, SwitchedOffAndEmptyEntriesWriteNothing) {
  TempDir tmp;
  Logger log;
  log.Init("R", tmp.Path(), Logger::kToFile, 200, 100);
  {
    LogEntry e(log, LogLevel::DEBUG);
    EXPECT_EQ(e.Level(), 0);
    e << "hidden" << 42;
    EXPECT_FALSE(e.HasBuffer());
  }
  { LogEntry e(log, LogLevel::WARN); }
  { LogEntry(log, LogLevel::ERROR) << "shown"; }
  std::string text = testkit::ReadFile(log.CurrentFileName());
  EXPECT_EQ(CountLines(text), 1);
  EXPECT_NE(text.find("] ERROR:"), std::string::npos);
}

TEST(LoggerTest, RotatesAfterMaximumLines) {
  TempDir tmp;
  Logger log;
  FixedClock clock;
  platform::ScopedEnv use(&clock);
  log.Init("R", tmp.Path(), Logger::kToFile, 0, 3);
  std::string first = log.CurrentFileName();
  for (int i = 0; i < 5; ++i) LogEntry(log, LogLevel::INFO) << "line " << i;
  std::string second = log.CurrentFileName();
  EXPECT_EQ(second.substr(second.size() - 6), ".log.2");
  EXPECT_EQ(CountLines(testkit::ReadFile(first)), 3);
  EXPECT_EQ(CountLines(testkit::ReadFile(second)), 2);
}

TEST(LoggerTest, NewTimeStampAfterThousandFiles) {
  TempDir tmp;
  Logger log;
  FixedClock clock;
  platform::ScopedEnv use(&clock);
  log.Init("R", tmp.Path(), Logger::kToFile, 0, 1);
  clock.sec = 4;
  for (int i = 0; i < 1000; ++i) LogEntry(log, LogLevel::INFO) << i;
  std::string last = log.CurrentFileName();
  EXPECT_NE(last.find("R_2019_10_17_9_5_3.log.1000"), std::string::npos) << last;
  LogEntry(log, LogLevel::INFO) << "next";
  EXPECT_NE(log.CurrentFileName().find("R_2019_10_17_9_5_4.log.1"), std::string::npos) << log.CurrentFileName();
  EXPECT_EQ(log.CurrentFileName().substr(log.CurrentFileName().size() - 6), ".log.1");
}

TEST(LoggerTest, UncreatableDirectoryReportsAndCarriesOn) {
  TempDir tmp;
  ASSERT_TRUE(platform::WriteStringToFile(tmp / "file", "x"));
  Logger log;
  std::string dir = platform::JoinPath(tmp / "file", "sub") + platform::kPathSep;
  ::testing::internal::CaptureStdout();
  log.Init("R", dir, Logger::kToFile, 0, 1);
  LogEntry(log, LogLevel::INFO) << "a";
  LogEntry(log, LogLevel::INFO) << "b";
  std::string out = ::testing::internal::GetCapturedStdout();
  size_t first = out.find("Log:create route directory error[");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find("Log:create route directory error[", first + 1), std::string::npos);  // once per open
}

// The disk fills up while the launcher runs: the lines meanwhile are lost, the
// callers never notice, and the lines after the disk has room again are in the
// same file.
TEST(LoggerTest, AFullDiskNeverReachesTheCallerAndLoggingResumes) {
  TempDir tmp;
  Logger log;
  FixedClock clock;
  platform::ScopedEnv use(&clock);
  log.Init("R", tmp.Path(), Logger::kToFile, 0, 100);
  LogEntry(log, LogLevel::INFO) << "before";
  const std::string name = log.CurrentFileName();
  static int refused;
  refused = 0;
  {
    platform::ScopedFileCallsOverride full;
    platform::FileCalls().write = [](platform::NativeFile, int64_t, const void*, size_t, size_t* done) -> platform::Status {
      ++refused;
      *done = 0;
      return platform::Status::kRetryable;
    };
    platform::FileCalls().open = [](const platform::FileName&, const platform::FileOpenOptions&,
                                    platform::NativeFile*) -> platform::Status {
      ++refused;
      return platform::Status::kRetryable;
    };
    EXPECT_NO_THROW(LogEntry(log, LogLevel::ERROR) << "lost one");
    EXPECT_NO_THROW(LogEntry(log, LogLevel::ERROR) << "lost two");
  }
  EXPECT_GE(refused, 2);  // the outage was met, on the write and on opening anew
  LogEntry(log, LogLevel::INFO) << "after";
  EXPECT_EQ(log.CurrentFileName(), name);
  std::string text = testkit::ReadFile(name);
  EXPECT_NE(text.find(" before\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" after\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("lost"), std::string::npos) << text;
  EXPECT_EQ(CountLines(text), 2);
}

TEST(LoggerTest, ConcurrentLinesNeverInterleave) {
  TempDir tmp;
  Logger log;
  log.Init("R", tmp.Path(), Logger::kToFile, 0, 1000000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 500; ++i) LogEntry(log, LogLevel::INFO) << "thread " << t << " line " << i << " end";
    });
  }
  for (auto& th : threads) th.join();
  std::string text = testkit::ReadFile(log.CurrentFileName());
  std::regex line(R"(\[\d+\] INFO:\d+-\d+-\d+ \d+:\d+:\d+ thread \d line \d+ end)");
  size_t start = 0;
  int n = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    ASSERT_NE(nl, std::string::npos);
    ASSERT_TRUE(std::regex_match(text.substr(start, nl - start), line)) << text.substr(start, nl - start);
    start = nl + 1;
    ++n;
  }
  EXPECT_EQ(n, 2000);
}

// Threads that outlive main (a latency probe still waiting for replies when
// the game has been started) may log while the process runs its exit-time
// clean-up: the process-wide log is still there for them.
TEST(LoggerDeathTest, StillLogsDuringExitTimeCleanUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, not a fork
  // The child runs this body anew, so the directory is one both compute.
  static std::string directory;
  directory = platform::DirName(platform::ExecutablePath()) + "logger-exit-test" + platform::kPathSep;
  platform::DeleteFilesRecursively(directory);
  EXPECT_EXIT(
      {
        // Registered before the log exists, so it runs after the log's own
        // clean-up would have.
        std::atexit([] {
          LogInfo() << "logged during exit";
          std::_Exit(0);
        });
        Logger::Instance().Init("exit", directory, Logger::kToFile, 200, 1000);
        LogInfo() << "before exit";
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(directory, &entries));
  std::string all;
  for (const auto& e : entries) all += testkit::ReadFile(directory + e.name);
  platform::DeleteFilesRecursively(directory);
  EXPECT_NE(all.find("before exit"), std::string::npos) << all;
  EXPECT_NE(all.find("logged during exit"), std::string::npos) << all;
}

}  // namespace
