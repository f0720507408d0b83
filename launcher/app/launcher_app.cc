#include "launcher/app/launcher_app.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

#include "launcher/app/relaunch.h"
#include "launcher/log/logger.h"
#include "launcher/log/messages.h"
#include "launcher/release/text.h"
#include "launcher/update/install_path.h"
#include "launcher/update/update_control.h"
#include "launcher/update/update_thread.h"
#include "launcher/update/version.h"
#include "platform/file.h"
#include "platform/gui.h"
#include "platform/ini.h"
#include "platform/named_mutex.h"
#include "platform/path.h"
#include "platform/pid_section.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "platform/window.h"

std::string AreaId;
const char kInstanceMutexName[] = "Global\\PX-RV-CLIENT-MUTEX";

namespace {

LauncherApp::DialogRunner g_dialog_runner = nullptr;

// Held for the life of the process, never released explicitly.
std::unique_ptr<platform::NamedMutex>& InstanceMutex() {
  static auto* mutex = new std::unique_ptr<platform::NamedMutex>();
  return *mutex;
}

const char kServerMissing[] = "Error: Specified server doesn't exist.";
const char kMessageCaption[] = "Quillfen";

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0; }

// File names compare as Windows compares them, ignoring ASCII case.
bool SameFileName(const std::string& a, const std::string& b) { return release::SameAsciiText(a, b); }

// Finds the visible window of the process recorded in `section` and brings
// it to the front. True when there was one.
bool ActivateWindowOf(const platform::PidSection& section) {
  platform::WindowRef window = 0;
  if (!platform::FindVisibleWindowOfProcess(section.ReadPid(), &window)) return false;
  platform::ActivateWindow(window);
  return true;
}

}  // namespace

LauncherApp::LauncherApp() = default;
LauncherApp::~LauncherApp() = default;

void LauncherApp::SetDialogRunner(DialogRunner runner) { g_dialog_runner = runner; }

const char LauncherApp::kUsage[] =
    "usage: Quillfen [-L -AreaId=N]\n"
    "  Starts the launcher from the game's install directory: it checks for\n"
    "  updates, installs them and starts the game against the chosen server.\n"
    "  -L -AreaId=N   chooses the server area N in the window\n"
    "  -c repair      checks every file of the install against the newest\n"
    "                 version's list, fetches those that differ or are\n"
    "                 missing, installs them, then updates as always\n"
    "  --help         this text\n"
    "  The launcher starts itself with \"-c update\" (its copy in temp) and\n"
    "  \"-r Restart\" (after an update replaced it); those are not for players.\n";

bool LauncherApp::IsHelpRequest(const std::vector<std::string>& args) {
  return args.size() == 2 && (args[1] == "--help" || args[1] == "-h" || args[1] == "/?");
}

bool LauncherApp::ParseCommandLine(const std::vector<std::string>& args, RunMode* mode) {
  *mode = Normal;
  if (args.size() <= 1) return true;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool last = i + 1 >= args.size();
    if (StartsWith(arg, "-c")) {
      if (last) {
        LogInfo() << "you have -c,but have no data";
        return false;
      }
      if (StartsWith(args[i + 1], "update")) *mode = Update;
      if (StartsWith(args[i + 1], "repair")) *mode = Repair;
    } else if (StartsWith(arg, "-r")) {
      if (last) {
        LogInfo() << "you have -r,but have no data";
        return false;
      }
      if (StartsWith(args[i + 1], "Restart")) *mode = Restart;
    } else if (StartsWith(arg, "-L")) {
      LogInfo() << "strncmp(__argv[i])";
      if (last) {
        LogInfo() << "you have -L,but have no data";
        platform::ShowMessageBox(kServerMissing, kMessageCaption);
        return false;
      }
      const std::string& next = args[i + 1];
      if (!StartsWith(next, "-AreaId=")) {
        LogInfo() << "Can not find 'AreaId' param after '-L'.";
        return false;
      }
      std::string area = next.substr(8);
      LogInfo() << "AreaId:" << area;
      // A value that does not fit the field is refused like an invalid one.
      AreaId = area.size() < kAreaIdCapacity ? area : std::string();
      if (area.size() >= kAreaIdCapacity || area.empty() || !std::isdigit(static_cast<unsigned char>(area[0]))) {
        platform::ShowMessageBox(kServerMissing, kMessageCaption);
        return false;
      }
    }
  }
  return true;
}

uint64_t LauncherApp::DownloadLimit(const std::string& ini_path) {
  const int kbps = platform::ProfileInt("main", "MaxDownloadKBps", 0, ini_path);
  if (kbps < 0) {
    LogWarn() << "MaxDownloadKBps " << kbps << " ignored: downloads are not capped";
    return 0;
  }
  return static_cast<uint64_t>(kbps) * 1024;
}

bool LauncherApp::SingleInstance(RunMode mode) {
  platform::ClearLastError();
  bool existed = false;
  std::unique_ptr<platform::NamedMutex> mutex = platform::NamedMutex::Create(kInstanceMutexName, &existed);
  if (!mutex) return false;
  if (mode == Normal) {
    if (existed) return false;  // closing the handle
  } else if (existed) {
    platform::ClearLastError();
    unsigned result = mutex->Wait();
    LogError() << platform::SystemErrorText(platform::LastError());
    LogError() << "WaitForSingleObject: " << result;
    // The launcher that started this one may still be ending. Only a parent
    // that is a launcher is waited for: a shell or desktop that started us
    // would never end.
    platform::ParentProcess parent;
    if (platform::FindParentProcess(&parent) &&
        SameFileName(parent.exe_name, platform::BaseName(platform::ExecutablePath()))) {
      platform::WaitForProcessEnd(parent.pid);
    }
  }
  InstanceMutex() = std::move(mutex);
  LogInfo() << "create mutex sucess";
  return true;
}

bool LauncherApp::WindowSections() {
  const std::string watched = resources_->LoadResourceString(801);
  const std::string own = resources_->LoadResourceString(802);
  if (!watched.empty()) {
    if (std::unique_ptr<platform::PidSection> s = platform::PidSection::Open(watched)) {
      if (ActivateWindowOf(*s)) return false;
    }
  }
  if (own.empty()) return true;
  // Another launcher that created its section first is given a few seconds to
  // show its window; after that this one goes on without a section.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (std::unique_ptr<platform::PidSection> s = platform::PidSection::Open(own)) {
      if (ActivateWindowOf(*s)) return false;
    }
    bool existed = false;
    std::unique_ptr<platform::PidSection> created = platform::PidSection::Create(own, &existed);
    if (!created) return true;
    if (!existed) {
      created->WritePid(platform::CurrentProcessId());
      launcher_section_ = std::move(created);
      return true;
    }
    created.reset();
    platform::SleepMs(100);
  }
  return true;
}

void LauncherApp::RunWithoutWindow() {
  UpdateControl& control = UpdateControl::Instance();
  control.Start();
  if (control.Engine()) control.Engine()->Wait();
  LogInfo() << "update ended: " << control.GetState() << " " << control.GetStateText();
}

void LauncherApp::InitInstance(const std::vector<std::string>& args) {
  platform::InitCommonControls();
  Logger::Instance().Init("Renewel", InstallPath(std::string("log") + platform::kPathSep),
                          Logger::kToStdout | Logger::kToFile, static_cast<int32_t>(LogLevel::INFO), 160000);
  UpdateControl::Instance().Lock();
  UpdateControl::Instance().Unlock();
  UpdateControl::SetRestartLauncher(&RestartLauncher);
  LogInfo() << "This is NewUpdateVersion.Time:" << __DATE__;

  RunMode mode = Normal;
  if (!ParseCommandLine(args, &mode)) return;
  LogInfo() << "nupdate: " << static_cast<int>(mode);
  LogInfo() << "filename: " << platform::ExecutablePath();

  if (!SingleInstance(mode)) return;

  LogInfo() << "argc:" << args.size();
  LogInfo() << Text(Message::kCheckStartParams);

  // A repair runs from the temp copy too, so that it may replace the
  // launcher's own files: started elsewhere, it hands over to the copy.
  const bool in_temp =
      platform::DirName(platform::ExecutablePath()) == InstallPath(std::string("temp") + platform::kPathSep);
  if (mode == Repair && !in_temp) {
    LogInfo() << Text(Message::kPrepareCopyToTemp);
    if (!RelaunchFromTemp("repair")) LogError() << Text(Message::kCopyToTempFailed);
    return;
  }
  if (mode != Update && mode != Repair) {
    LogInfo() << Text(Message::kPrepareCopyToTemp);
    if (!RelaunchFromTemp()) LogError() << Text(Message::kCopyToTempFailed);
    return;
  }

  resources_ = platform::ResourceLibrary::Load(std::string("Quillfen") + platform::kLibSuffix);
  if (!resources_) return;
  // The publisher's key for the update engine, for the window's run and the
  // run without a window alike; empty when the install has none.
  UpdateControl::Instance().SetPublisherKey(resources_->LoadResourceString(803));
  // The player's update channel, read at every start, so that a change takes
  // effect at the next check. From the install directory's renewel.ini, the
  // file the player sees beside Quillfen.exe (this copy runs from temp\,
  // which is made afresh and never holds the player's settings).
  UpdateControl::Instance().SetChannel(
      ChannelOfSetting(platform::ProfileString("main", "Channel", "", InstallPath("renewel.ini"))));
  if (!WindowSections()) return;
  if (!platform::GraphicsStartup()) return;

  exeDirectory = platform::DirName(platform::ExecutablePath());
  platform::DeleteFilesRecursively(exeDirectory + "Update");

  versionText = "0.0.0.0";
  const int internal_flag =
      platform::ProfileInt("main", "InternalFlag", 0, exeDirectory + platform::kPathSep + "renewel.ini");
  // The cap is the player's setting: it is read from the install directory's
  // file, which the copy in temp does not carry along.
  const uint64_t limit = DownloadLimit(InstallPath("renewel.ini"));
  if (limit > 0) LogInfo() << "downloads capped at " << limit / 1024 << " KiB/s";
  UpdateControl::Instance().SetDownloadLimit(limit);
  UpdateControl::Instance().SetRepair(mode == Repair);

  std::string local;
  {
    UpdateControlLock hold;
    QueryClientVersion(local);
  }
  LogInfo() << "local version:" << local;
  versionText = local + " " + (internal_flag != 0 ? "[Internal]" : "");

  std::srand(static_cast<unsigned>(std::time(nullptr)));

  // Without a display (tests, servers) the update still runs, unseen.
  if (g_dialog_runner && platform::DisplayAvailable()) {
    g_dialog_runner(*this);
  } else {
    RunWithoutWindow();
  }

  platform::GraphicsShutdown();
  resources_.reset();
  launcher_section_.reset();
}
