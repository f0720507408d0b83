#include "launcher/log/logger.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/env.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"

const char* LogLevelName(int32_t level) {
  static const char* const kNames[5] = {"NOSET", "DEBUG", "INFO", "WARN", "ERROR"};
  int32_t i = level / 100;
  if (i < 0 || i > 4) return "NOSET";
  return kNames[i];
}

Logger::Logger() = default;

Logger::~Logger() = default;  // where platform::File is complete

Logger& Logger::Instance() {
  // Never destroyed: threads that outlive main (a latency probe still waiting
  // for its replies when the game has been started) log until the process is
  // gone. Every line is flushed as it is written, so nothing is lost.
  static Logger* const logger = new Logger;
  return *logger;
}

std::tm Logger::Now() const { return platform::CurrentEnv().LocalTime(); }

bool Logger::Init(const std::string& name, const std::string& directory, uint8_t flags, int32_t minimum_level,
                  int32_t max_lines_per_file) {
  std::lock_guard<std::mutex> hold(mutex_);
  name_ = name;
  directory_ = directory;
  flags_ = flags;
  minimum_level_ = minimum_level;
  max_lines_ = max_lines_per_file;
  BuildBaseName();
  if (flags_ & kToFile) OpenNextFile();
  return true;
}

void Logger::BuildBaseName() {
  std::tm tm = Now();
  base_name_.clear();
  base_name_ += directory_;
  base_name_ += platform::kPathSep;
  base_name_ += name_;
  base_name_ += "_" + std::to_string(tm.tm_year + 1900) + "_" + std::to_string(tm.tm_mon + 1) + "_" +
                std::to_string(tm.tm_mday) + "_" + std::to_string(tm.tm_hour) + "_" + std::to_string(tm.tm_min) +
                "_" + std::to_string(tm.tm_sec) + ".log";
}

bool Logger::OpenNextFile() {
  file_.reset();
  file_name_.clear();
  lines_in_file_ = 0;
  if (!platform::IsDirectory(directory_)) {
    errno = 0;
    if (!platform::MakeDirectory(directory_)) {
      int err = errno;
      std::string text = err ? std::strerror(err) : platform::SystemErrorText(platform::LastError());
      std::printf("Log:create route directory error[%s]", text.c_str());
      std::fflush(stdout);
    }
  }
  if (sequence_ >= 1000) {
    BuildBaseName();
    sequence_ = 0;
  }
  ++sequence_;
  file_name_ = base_name_ + "." + std::to_string(sequence_);
  OpenCurrentFile();
  return true;
}

bool Logger::OpenCurrentFile() {
  platform::FileOpenOptions options;
  options.disposition = platform::FileDisposition::kOpenAlways;
  options.share_read = true;
  options.share_write = true;
  file_ = platform::OpenFile(file_name_, options);
  if (file_ && file_->SeekToEnd() != platform::Status::kOk) file_.reset();
  return file_ != nullptr;
}

void Logger::AppendToFile(const std::string& line) {
  if (!file_ && !OpenCurrentFile()) return;
  // A line the disk refuses is lost; the file is opened anew for the next
  // one, at its end again.
  if (file_->Write(line.data(), line.size()) != platform::Status::kOk) file_.reset();
}

std::string Logger::CurrentFileName() const { return file_name_; }

std::string Logger::ComposeLine(int32_t level, const std::string& text) const {
  std::tm tm = Now();
  std::ostringstream line;
  line << "[" << platform::CurrentThreadId() << "] " << LogLevelName(level) << ":" << (tm.tm_year + 1900) << "-"
       << (tm.tm_mon + 1) << "-" << tm.tm_mday << " " << tm.tm_hour << ":" << tm.tm_min << ":" << tm.tm_sec << " "
       << text << "\n";
  return line.str();
}

void Logger::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (flags_ & kToStdout) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  if (flags_ & kToFile) {
    if (static_cast<int64_t>(lines_in_file_) >= max_lines_) {
      if (!OpenNextFile()) return;
    }
    ++lines_in_file_;
    AppendToFile(line);
  }
}

LogEntry::LogEntry(Logger& logger, LogLevel level) : logger_(logger) {
  int32_t l = static_cast<int32_t>(level);
  level_ = l >= logger.MinimumLevel() ? l : 0;
}

LogEntry::~LogEntry() {
  if (!buffer_) return;
  logger_.WriteLine(logger_.ComposeLine(level_, buffer_->str()));
}
