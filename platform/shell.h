// Opening a program the way the desktop shell does: the game start.
#ifndef PLATFORM_SHELL_H_
#define PLATFORM_SHELL_H_

#include <string>

namespace platform {

// Results of ShellOpen, numbered as the Windows shell numbers them. Values
// above kShellOpenMaxError mean success.
constexpr int kShellOutOfResources = 0;
constexpr int kShellFileNotFound = 2;
constexpr int kShellPathNotFound = 3;
constexpr int kShellBadFormat = 11;
constexpr int kShellAccessDenied = 5;
constexpr int kShellOutOfMemory = 8;
constexpr int kShellOpenMaxError = 32;
// The value returned for a started program where the system gives none.
constexpr int kShellStarted = 42;

// Show command for a normally shown window (SW_SHOW).
constexpr int kShowNormal = 5;

// Starts `file` with the verb "open", the argument text `parameters` and the
// working directory `directory` (empty: the current one), and does not wait
// for it. Windows: ShellExecuteA without an owner window, its result as it
// comes. Elsewhere the program is executed directly, the parameters split
// with the Windows argument rules, and a failure to start is mapped to the
// code above that Windows gives for it (a missing program 2, a missing
// working directory 3, no permission 5, not a program 11).
int ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory,
              int show_command = kShowNormal);

}  // namespace platform

#endif  // PLATFORM_SHELL_H_
