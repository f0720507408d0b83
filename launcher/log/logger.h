// The launcher's process-wide leveled log.
//
// An entry is opened at a level, text and numbers are streamed into it, and
// when the entry ends one whole line is written, to standard output and to a
// series of rotating files:
//
//   LogInfo() << "argc:" << argc;
//
// Lines look like "[2412] INFO:2019-10-17 9:5:3 text".
//
// Logging never fails its caller: a line the disk refuses is dropped, and the
// next line opens the file again, so logging resumes once the disk recovers.
#ifndef LAUNCHER_LOG_LOGGER_H_
#define LAUNCHER_LOG_LOGGER_H_

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace platform {
class File;
}

enum class LogLevel : int32_t { NOSET = 0, DEBUG = 100, INFO = 200, WARN = 300, ERROR = 400 };

// Name of a level ("INFO"), looked up by value / 100.
const char* LogLevelName(int32_t level);

class Logger {
 public:
  static constexpr uint8_t kToStdout = 1;
  static constexpr uint8_t kToFile = 2;

  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The process-wide logger, created on first use with no output at all.
  static Logger& Instance();

  // Stores the settings, builds the file base name and, when kToFile is set,
  // opens the first file. `directory` should end with a separator. Always true.
  bool Init(const std::string& name, const std::string& directory, uint8_t flags, int32_t minimum_level,
            int32_t max_lines_per_file);

  int32_t MinimumLevel() const { return minimum_level_; }

  // Writes one composed line (with its line feed). Thread-safe.
  void WriteLine(const std::string& line);

  // Builds a whole line for `level` and `text` as the calling thread, at the
  // current time.
  std::string ComposeLine(int32_t level, const std::string& text) const;

  // Name of the file now written, empty when none.
  std::string CurrentFileName() const;

 private:
  // The local time, from the env in force (platform/env.h).
  std::tm Now() const;
  void BuildBaseName();
  bool OpenNextFile();
  // Opens file_name_ for appending; false (and no file) on failure.
  bool OpenCurrentFile();
  // Appends to file_name_, opening it when it is not open.
  void AppendToFile(const std::string& line);

  std::mutex mutex_;
  std::unique_ptr<platform::File> file_;
  uint8_t flags_ = 0;
  int32_t minimum_level_ = 0;
  int32_t max_lines_ = 0;
  std::string name_;
  std::string directory_;
  uint32_t lines_in_file_ = 0;
  uint16_t sequence_ = 0;
  std::string base_name_;
  std::string file_name_;
};

// One line in the making. Lives for one statement and belongs to one thread.
class LogEntry {
 public:
  LogEntry(Logger& logger, LogLevel level);
  ~LogEntry();
  LogEntry(LogEntry&&) = delete;
  LogEntry(const LogEntry&) = delete;
  LogEntry& operator=(const LogEntry&) = delete;

  // 0 when the entry is switched off.
  int32_t Level() const { return level_; }
  // True once text went in (a switched-off entry never gets a buffer).
  bool HasBuffer() const { return buffer_ != nullptr; }

  template <typename T>
  LogEntry& operator<<(const T& value) {
    if (level_ == 0) return *this;
    if (!buffer_) buffer_ = std::make_unique<std::ostringstream>();
    *buffer_ << value;
    return *this;
  }

 private:
  Logger& logger_;
  int32_t level_;
  std::unique_ptr<std::ostringstream> buffer_;
};

// Entries on the process-wide logger. Guaranteed copy elision makes the
// returned entry the statement's temporary, written when the statement ends.
inline LogEntry LogDebug() { return LogEntry(Logger::Instance(), LogLevel::DEBUG); }
inline LogEntry LogInfo() { return LogEntry(Logger::Instance(), LogLevel::INFO); }
inline LogEntry LogWarn() { return LogEntry(Logger::Instance(), LogLevel::WARN); }
inline LogEntry LogError() { return LogEntry(Logger::Instance(), LogLevel::ERROR); }

#endif  // LAUNCHER_LOG_LOGGER_H_
