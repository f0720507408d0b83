#include "launcher/app/relaunch.h"

#include <cstdio>
#include <cstdlib>

#include "launcher/log/logger.h"
#include "launcher/log/messages.h"
#include "launcher/update/update_control.h"
#include "platform/file.h"
#include "platform/gui.h"
#include "platform/own_directory.h"
#include "platform/path.h"
#include "platform/process.h"

namespace {

// A path with blanks must be quoted, or the system would start a program
// named by its first word.
std::string ProgramField(const std::string& path) {
  return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

std::string TempDirFor(const std::string& exe_path) {
  std::string name = platform::BaseName(exe_path);
  return exe_path.substr(0, exe_path.rfind(name)) + "temp" + platform::kPathSep;
}

// A temp directory that is not the player's own: another user could choose
// what the copy runs or what the launcher deletes in it. Start-up ends here,
// saying why, where the player sees it.
void RefuseTempDirectory(const std::string& temp_dir, const std::string& why) {
  LogError() << "temp directory refused: " << temp_dir << " " << why;
  platform::ShowMessageBox("The launcher's folder " + temp_dir + " " + why +
                               ". The launcher runs its copy from there and does not start while the folder could "
                               "be changed by anyone else. Remove the folder and start the launcher again.",
                           "Quillfen");
}

}  // namespace

std::vector<RelaunchFile> RelaunchFiles(const std::string& exe_name) {
  // Our builds link their runtime statically and take the graphics library
  // from the system: only the executable and the resource library are needed.
  return {
      {exe_name, true},
      {"gdiplus.dll", false},
      {std::string("Quillfen") + platform::kLibSuffix, true},
      {"MFC71.dll", false},
      {"MSVCP71.DLL", false},
      {"MSVCR71.DLL", false},
  };
}

std::string RelaunchCommandLine(const std::string& temp_executable, const std::string& mode) {
  const std::string extra;  // the argument field nothing fills
  return ProgramField(temp_executable) + " -c " + mode + " " + extra;
}

std::string RestartTarget(const std::string& exe_path) {
  std::string name = platform::BaseName(exe_path);
  std::string marker = std::string("temp") + platform::kPathSep + name;
  size_t at = exe_path.rfind(marker);
  return (at == std::string::npos ? exe_path : exe_path.substr(0, at)) + name;
}

std::string RestartCommandLine(const std::string& target) {
  const std::string extra;
  return ProgramField(target) + " -r Restart " + extra;
}

bool RelaunchFromTemp(const std::string& mode) {
  const std::string exe = platform::ExecutablePath();
  const std::string name = platform::BaseName(exe);
  const std::string source_dir = exe.substr(0, exe.rfind(name));
  const std::string temp_dir = TempDirFor(exe);

  // The directory is made here, as the player's own; one that is there
  // already must be that as well.
  bool ready = false;
  for (int attempt = 0; attempt < 10 && !ready; ++attempt) {
    platform::SleepMs(100);
    std::string why;
    platform::OwnDirectory state = platform::CheckOwnDirectory(temp_dir, &why);
    if (state == platform::OwnDirectory::kMissing && platform::MakeOwnDirectory(temp_dir)) {
      state = platform::CheckOwnDirectory(temp_dir, &why);
    }
    if (state == platform::OwnDirectory::kRefused) {
      RefuseTempDirectory(temp_dir, why);
      return false;
    }
    ready = state == platform::OwnDirectory::kOwn;
    if (!ready) LogError() << "create temp error";
  }
  if (!ready) {
    LogError() << "remove temp and create temp error and time out";
    return false;
  }

  bool required_ok = true;
  for (const RelaunchFile& f : RelaunchFiles(name)) {
    bool copied = platform::CopyFileOver(source_dir + f.name, temp_dir + f.name);
    if (f.required) required_ok = required_ok && copied;
  }
  if (!required_ok) {
    LogError() << "create tmep file error";
    platform::RemoveEmptyDirectory(temp_dir);
    return false;
  }

  return platform::StartProcess(RelaunchCommandLine(temp_dir + name, mode)) != nullptr;
}

void RestartLauncher() {
  const std::string target = RestartTarget(platform::ExecutablePath());
  LogInfo() << Text(Message::kRestartOuterLauncher);
  if (!platform::StartProcess(RestartCommandLine(target))) {
    LogError() << Text(Message::kRestartOuterLauncher) << Text(Message::kFailedSuffix);
  }
  // Keep the window's thread out of the version library and the state while
  // the process ends. The process ends here, on the engine thread, without
  // running the static destructors: they would wait for this very thread (the
  // engine) and the process would never end, holding the instance mutex that
  // the restarted launcher waits for. Every log line is already on disk.
  UpdateControl::Instance().Lock();
  std::fflush(stdout);
  std::_Exit(0);
}
