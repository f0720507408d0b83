// The launcher's application object: start-up from process start to the end
// of the process, the run modes and the single instance.
#ifndef LAUNCHER_APP_LAUNCHER_APP_H_
#define LAUNCHER_APP_LAUNCHER_APP_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class NamedMutex;
class PidSection;
class ResourceLibrary;
}  // namespace platform

// Repair: "-c repair", an Update run that first repairs the install
// (UpdateThread::Repair).
enum RunMode { Normal = 0, Update = 1, Restart = 2, Repair = 3 };

// The area given with "-L -AreaId=..."; empty unless given. Read by the window.
extern std::string AreaId;
// Longest AreaId accepted; a longer one is refused like an invalid one.
constexpr size_t kAreaIdCapacity = 100;

// Name of the single-instance mutex.
extern const char kInstanceMutexName[];

class LauncherApp {
 public:
  LauncherApp();
  ~LauncherApp();

  // Runs start-up with the process's arguments (argv[0] included). Returns
  // when the process is to end.
  void InitInstance(const std::vector<std::string>& args);

  // Outcome of parsing the command line: the mode, or false when start-up ends.
  static bool ParseCommandLine(const std::vector<std::string>& args, RunMode* mode);
  // Whether the command line (program path first) is a request for the
  // usage: "--help", "-h" or "/?" as the only argument. The program then
  // prints kUsage on standard output and ends with 0, before anything else.
  static bool IsHelpRequest(const std::vector<std::string>& args);
  static const char kUsage[];

  // The download cap of the ini file at `ini_path` (renewel.ini): key
  // "MaxDownloadKBps" of section "main", in KiB per second, as bytes per
  // second. 0 (no cap) when the file or key is missing, empty, 0 or
  // negative; a negative value is logged as ignored.
  static uint64_t DownloadLimit(const std::string& ini_path);

  // The directory of the running executable, with a trailing separator.
  std::string exeDirectory;
  // The client version shown by the window.
  std::string versionText = "0.0.0.0";
  // The resource library, loaded in Update mode (null otherwise).
  platform::ResourceLibrary* Resources() const { return resources_.get(); }

  // Shows the launcher window modally (step 18). Installed by the window's
  // module; when none is installed the update engine runs without a window
  // and the process ends with it.
  using DialogRunner = void (*)(LauncherApp& app);
  static void SetDialogRunner(DialogRunner runner);

 private:
  // Without a window module the engine runs to its end with no display.
  void RunWithoutWindow();
  bool SingleInstance(RunMode mode);
  bool WindowSections();

  std::unique_ptr<platform::ResourceLibrary> resources_;
  std::unique_ptr<platform::PidSection> launcher_section_;
};

#endif  // LAUNCHER_APP_LAUNCHER_APP_H_
