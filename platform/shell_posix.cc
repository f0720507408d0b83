#include "platform/shell.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/process.h"

namespace platform {

namespace {

// What the child reports through the pipe before it gives up.
enum Stage : int { kChdir = 1, kExec = 2, kFork = 3 };

int ShellCode(int stage, int error) {
  if (stage == kChdir) return error == EACCES ? kShellAccessDenied : kShellPathNotFound;
  if (stage == kFork) return kShellOutOfResources;
  switch (error) {
    case ENOENT: return kShellFileNotFound;
    case ENOTDIR: return kShellPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kShellAccessDenied;
    case ENOEXEC:
    case ELIBBAD: return kShellBadFormat;
    case ENOMEM:
    case E2BIG: return kShellOutOfMemory;
    default: return kShellOutOfResources;
  }
}

void ReportAndExit(int fd, int stage, int error) {
  int report[2] = {stage, error};
  ssize_t ignored = write(fd, report, sizeof report);
  (void)ignored;
  _exit(127);
}

}  // namespace

int ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory,
              int /*show_command*/) {
  if (file.empty()) return kShellFileNotFound;
  std::vector<std::string> args = SplitCommandLine(parameters);
  args.insert(args.begin(), file);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return kShellOutOfResources;
  // The program is started from a short-lived intermediate child so that it
  // is nobody's child here and leaves no zombie behind when it ends.
  pid_t middle = fork();
  if (middle < 0) {
    close(fds[0]);
    close(fds[1]);
    return kShellOutOfResources;
  }
  if (middle == 0) {
    close(fds[0]);
    pid_t program = fork();
    if (program < 0) ReportAndExit(fds[1], kFork, errno);
    if (program > 0) _exit(0);
    setsid();
    if (!directory.empty() && chdir(directory.c_str()) != 0) ReportAndExit(fds[1], kChdir, errno);
    execv(file.c_str(), argv.data());
    ReportAndExit(fds[1], kExec, errno);
  }
  close(fds[1]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  // The pipe closes without a report when exec succeeds.
  int report[2] = {0, 0};
  ssize_t got;
  do {
    got = read(fds[0], report, sizeof report);
  } while (got < 0 && errno == EINTR);
  close(fds[0]);
  if (got == static_cast<ssize_t>(sizeof report)) return ShellCode(report[0], report[1]);
  return kShellStarted;
}

}  // namespace platform
