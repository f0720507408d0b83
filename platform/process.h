// Processes and threads.
#ifndef PLATFORM_PROCESS_H_
#define PLATFORM_PROCESS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A started child process. Destroying the object closes its handle; the
// process itself goes on running. A program the system starts without giving
// a handle (a host program under Wine) cannot be waited for: Wait and WaitFor
// return false at once.
class Process {
 public:
  virtual ~Process() = default;
  // Blocks until the process has ended. False if waiting failed.
  virtual bool Wait() = 0;
  // Waits at most `ms` milliseconds; true when the process has ended.
  virtual bool WaitFor(int ms) = 0;
  // Exit code of an ended process (on POSIX a signal death gives 128 + signal).
  virtual int ExitCode() = 0;
  virtual uint32_t Id() const = 0;
  // The most memory the ended process had resident at one time, in bytes;
  // -1 when the system does not tell.
  virtual int64_t PeakMemoryBytes() = 0;
  // Ends the process at once (tests only).
  virtual void Kill() = 0;
};

// A program to start, as the forms below describe it. The env in force
// (env.h) starts it.
struct ProcessStart {
  std::string command_line;
  std::string working_dir;  // empty: the current one
  std::string output_path;  // empty: the child shares this one's output
  std::string image_path;   // empty: the command line's first field names the program
  bool tied = false;
};

// Starts a program from one command-line text, the way CreateProcess does
// without an application name: the first field names the program, the rest are
// its arguments. On POSIX the line is split with the Windows argument rules
// (SplitCommandLine) and the program is executed directly, never through a
// shell. The child inherits no handles, the environment and the current
// directory (or `working_dir` when not empty). Returns null on failure.
std::unique_ptr<Process> StartProcess(const std::string& command_line,
                                      const std::string& working_dir = std::string());
// The same, with the child's standard output and standard error going to the
// file at `output_path` (created or truncated). On Windows the child is then
// started with inheritable handles, the output file's among them.
std::unique_ptr<Process> StartProcess(const std::string& command_line, const std::string& working_dir,
                                      const std::string& output_path);

// The same, with the child tied to this process: it ends when this process
// ends, however that comes about (a kill included), and when the returned
// object is destroyed while it still runs. For helpers that must never
// outlive their caller, such as the patch tool a setup program starts.
// Windows: the child runs in a job object of its own that kills its
// processes when its last handle closes (only the returned object holds
// one); a system that refuses the job (an older one inside a job of its own)
// still runs the child, untied. POSIX: the parent-death signal (SIGKILL),
// which the kernel sends when the thread that started the child ends: start
// it from a thread that outlives it.
std::unique_ptr<Process> StartTiedProcess(const std::string& command_line, const std::string& working_dir,
                                          const std::string& output_path);

// The same, with the program loaded from `image_path` (no search) while the
// command line, its first field included, is what the program is given as
// its arguments (Windows: CreateProcess with an application name).
std::unique_ptr<Process> StartProcessFromImage(const std::string& image_path, const std::string& command_line,
                                               const std::string& working_dir = std::string());

// Splits a command line into arguments with the rules of the Windows C runtime:
// fields are separated by blanks or tabs; double quotes group; 2n backslashes
// before a quote give n backslashes and a grouping quote, 2n+1 give n and a
// literal quote; other backslashes are literal. The first field (the program)
// ends at the next blank outside quotes and takes no backslash escapes.
std::vector<std::string> SplitCommandLine(const std::string& line);

// Quotes `arg` so that SplitCommandLine gives it back unchanged.
std::string QuoteArgument(const std::string& arg);

uint32_t CurrentProcessId();
uint32_t CurrentThreadId();

// The process that started this one, with its executable's file name (no
// directory). False when it cannot be determined.
struct ParentProcess {
  uint32_t pid = 0;
  std::string exe_name;
};
bool FindParentProcess(ParentProcess* out);

// True while a process with this id runs.
bool ProcessIsAlive(uint32_t pid);

// Ends the process with this id (not necessarily a child) at once; false when
// it does not exist or may not be ended. The id is the system's own, as
// CurrentProcessId gives it, which under an emulator is not the host's.
// For tests that clean up after a program they did not start themselves.
bool KillProcess(uint32_t pid);

// Blocks until the process with this id (not necessarily a child) has ended.
// Returns at once when it does not exist.
void WaitForProcessEnd(uint32_t pid);

// Blocks the calling thread (through the env in force).
void SleepMs(int ms);

// Clears and reads the calling thread's last system error code, and the
// system's message text for a code.
void ClearLastError();
uint32_t LastError();
std::string SystemErrorText(uint32_t code);

}  // namespace platform

#endif  // PLATFORM_PROCESS_H_
