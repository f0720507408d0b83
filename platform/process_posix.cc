#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/env.h"
#include "platform/path.h"
#include "platform/process.h"

extern char** environ;

namespace platform {
namespace {

// The parent as it was when this process started: once it ends the kernel
// hands the child to another reaper, and getppid() no longer names it.
const pid_t g_parent_at_start = getppid();

class PosixProcess : public Process {
 public:
  explicit PosixProcess(pid_t pid, bool tied = false) : pid_(pid), tied_(tied) {}
  ~PosixProcess() override {
    if (tied_ && !reaped_) {
      // A tied child does not outlive its object.
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      return;
    }
    // Reap without blocking so an ended child does not linger as a zombie.
    if (!reaped_) waitpid(pid_, &status_, WNOHANG);
  }

  bool Wait() override {
    if (reaped_) return true;
    for (;;) {
      pid_t r = wait4(pid_, &status_, 0, &usage_);
      if (r == pid_) break;
      if (r < 0 && errno == EINTR) continue;
      return false;
    }
    reaped_ = true;
    return true;
  }

  bool WaitFor(int ms) override {
    if (reaped_) return true;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      pid_t r = wait4(pid_, &status_, WNOHANG, &usage_);
      if (r == pid_) {
        reaped_ = true;
        return true;
      }
      if (r < 0 && errno != EINTR) return false;
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (elapsed >= ms) return false;
      SleepMs(5);
    }
  }

  int ExitCode() override {
    if (!reaped_) return 259;  // still active, as Windows reports it
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
  }

  uint32_t Id() const override { return static_cast<uint32_t>(pid_); }
  int64_t PeakMemoryBytes() override { return reaped_ ? static_cast<int64_t>(usage_.ru_maxrss) * 1024 : -1; }
  void Kill() override { kill(pid_, SIGKILL); }

 private:
  pid_t pid_;
  bool tied_;
  struct rusage usage_ = {};
  int status_ = 0;
  bool reaped_ = false;
};

}  // namespace

namespace {

// A command line's arguments as the exec calls take them (SplitCommandLine).
struct Arguments {
  explicit Arguments(const std::string& command_line) : args(SplitCommandLine(command_line)) {
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  bool Empty() const { return args.empty() || args[0].empty(); }

  std::vector<std::string> args;
  std::vector<char*> argv;  // into `args`, null-terminated
};

// The child's output file, opened by the parent, so that a name relative to
// the current directory means the same as for the caller, and a failure is
// the caller's. -1 when it cannot be opened.
int OpenOutput(const std::string& path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }

// Starts `*image`, or without one the command line's first field (searched
// on PATH when it has no '/'), with the arguments of `command_line`.
std::unique_ptr<Process> Spawn(const std::string* image, const std::string& command_line,
                               const std::string& working_dir, const std::string& output_path) {
  Arguments arguments(command_line);
  if (arguments.Empty()) return nullptr;
  const std::string program = image ? *image : arguments.args[0];
  std::vector<char*>& argv = arguments.argv;

  int output_fd = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!output_path.empty()) {
    const int fd = OpenOutput(output_path);
    if (fd < 0) {
      posix_spawn_file_actions_destroy(&actions);
      return nullptr;
    }
    output_fd = fd;
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    posix_spawn_file_actions_adddup2(&actions, fd, 2);
  }
  // Nothing but the standard streams is inherited.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!working_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

  pid_t pid = 0;
  int rc;
  if (image || program.find('/') != std::string::npos) {
    rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  } else {
    rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (output_fd >= 0) close(output_fd);
  if (rc != 0) {
    errno = rc;
    return nullptr;
  }
  return std::make_unique<PosixProcess>(pid);
}

std::unique_ptr<Process> StartTied(const std::string& command_line, const std::string& working_dir,
                                   const std::string& output_path) {
  Arguments arguments(command_line);
  if (arguments.Empty()) return nullptr;
  std::vector<char*>& argv = arguments.argv;
  int output_fd = -1;
  if (!output_path.empty()) {
    output_fd = OpenOutput(output_path);
    if (output_fd < 0) return nullptr;
  }
  // The child reports a failed exec through this pipe; a successful exec
  // closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    if (output_fd >= 0) close(output_fd);
    return nullptr;
  }
  const pid_t parent = getpid();
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only system calls from here on: the parent may have other threads.
    int error = 0;
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) error = errno;
    // The parent may have ended before the signal was asked for.
    if (error == 0 && getppid() != parent) _exit(127);
    if (error == 0 && output_fd >= 0 && (dup2(output_fd, 1) < 0 || dup2(output_fd, 2) < 0)) error = errno;
    if (error == 0 && !working_dir.empty() && chdir(working_dir.c_str()) != 0) error = errno;
    if (error == 0) {
      // Nothing but the standard streams and the report is inherited.
      if (report[1] > 3) syscall(SYS_close_range, 3u, static_cast<unsigned>(report[1] - 1), 0);
      syscall(SYS_close_range, static_cast<unsigned>(report[1] + 1), ~0U, 0);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      if (strchr(argv[0], '/')) execv(argv[0], argv.data());
      else execvp(argv[0], argv.data());
      error = errno;
    }
    while (write(report[1], &error, sizeof error) < 0 && errno == EINTR) {
    }
    _exit(127);
  }
  const int fork_error = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(report[1]);
  if (output_fd >= 0) close(output_fd);
  if (pid < 0) {
    close(report[0]);
    errno = fork_error;
    return nullptr;
  }
  int child_error = 0;
  ssize_t got;
  do {
    got = read(report[0], &child_error, sizeof child_error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got > 0) {
    waitpid(pid, nullptr, 0);
    errno = child_error;
    return nullptr;
  }
  return std::make_unique<PosixProcess>(pid, true);
}

}  // namespace

std::unique_ptr<Process> system_services::StartProcess(const ProcessStart& start) {
  if (!start.image_path.empty()) return Spawn(&start.image_path, start.command_line, start.working_dir, start.output_path);
  if (start.tied) return StartTied(start.command_line, start.working_dir, start.output_path);
  return Spawn(nullptr, start.command_line, start.working_dir, start.output_path);
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }
uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

bool FindParentProcess(ParentProcess* out) {
  if (g_parent_at_start <= 1) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(g_parent_at_start));
  char buf[4096];
  ssize_t n = readlink(link, buf, sizeof buf - 1);
  if (n <= 0) return false;
  out->pid = static_cast<uint32_t>(g_parent_at_start);
  std::string exe(buf, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
    exe.resize(exe.size() - deleted.size());
  }
  out->exe_name = BaseName(exe);
  return true;
}

bool ProcessIsAlive(uint32_t pid) {
  if (pid == 0) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return false;
  char buf[512];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // The state follows the parenthesised command name; a zombie has ended.
  const char* close = strrchr(buf, ')');
  if (!close || close[1] == 0 || close[2] == 0) return true;
  return close[2] != 'Z' && close[2] != 'X';
}

bool KillProcess(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
  return kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

void WaitForProcessEnd(uint32_t pid) {
  if (pid == 0) return;
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd >= 0) {
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    close(fd);
    return;
  }
  if (errno == ESRCH) return;
#endif
  while (ProcessIsAlive(pid)) SleepMs(20);
}

void system_services::SleepMs(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void ClearLastError() { errno = 0; }
uint32_t LastError() { return static_cast<uint32_t>(errno); }
std::string SystemErrorText(uint32_t code) {
  char buf[1024];
  return strerror_r(static_cast<int>(code), buf, sizeof buf);
}

}  // namespace platform
