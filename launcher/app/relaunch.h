// Running from the temp copy so that updates may replace the launcher's files.
#ifndef LAUNCHER_APP_RELAUNCH_H_
#define LAUNCHER_APP_RELAUNCH_H_

#include <string>
#include <vector>

// Copies the executable and its libraries into temp/ beside it and starts the
// copy with "-c update" (or "-c " and `mode`, "repair" say). True when the
// copy was started. temp/ is made as the
// player's own (platform/own_directory.h); one that exists and is not (a
// link, another user's, writable by others) ends start-up with an ERROR line
// and a message saying why.
bool RelaunchFromTemp(const std::string& mode = "update");

// Starts the install directory's launcher with "-r Restart" and ends this
// process with status 0, holding the update-control lock. Does not return.
[[noreturn]] void RestartLauncher();

// The pieces, for tests: the copied set and the two command lines.
struct RelaunchFile {
  std::string name;
  bool required;
};
// In copy order, for an executable named `exe_name`.
std::vector<RelaunchFile> RelaunchFiles(const std::string& exe_name);
std::string RelaunchCommandLine(const std::string& temp_executable, const std::string& mode = "update");
std::string RestartTarget(const std::string& executable_path);
std::string RestartCommandLine(const std::string& target);

#endif  // LAUNCHER_APP_RELAUNCH_H_
