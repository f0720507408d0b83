#include <windows.h>
#include <tlhelp32.h>
// After windows.h.
#include <psapi.h>

#include <vector>

#include "platform/env.h"
#include "platform/path.h"
#include "platform/process.h"

// Windows 10's attribute that starts a process inside given jobs; the
// headers name it only for builds that require Windows 10.
#ifndef PROC_THREAD_ATTRIBUTE_JOB_LIST
#define PROC_THREAD_ATTRIBUTE_JOB_LIST ProcThreadAttributeValue(13, FALSE, TRUE, FALSE)
#endif

namespace platform {
namespace {

class WinProcess : public Process {
 public:
  WinProcess(HANDLE h, DWORD id, HANDLE job = nullptr) : handle_(h), id_(id), job_(job) {}
  ~WinProcess() override {
    // The job's last handle: a tied child still running ends here.
    if (job_) CloseHandle(job_);
    if (handle_) CloseHandle(handle_);
  }
  bool Wait() override { return WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0; }
  bool WaitFor(int ms) override { return WaitForSingleObject(handle_, static_cast<DWORD>(ms)) == WAIT_OBJECT_0; }
  int ExitCode() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(handle_, &code)) return -1;
    return static_cast<int>(code);
  }
  uint32_t Id() const override { return id_; }
  int64_t PeakMemoryBytes() override {
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(handle_, &counters, sizeof counters)) return -1;
    // The larger of what was resident and what was committed.
    const SIZE_T peak = counters.PeakWorkingSetSize > counters.PeakPagefileUsage ? counters.PeakWorkingSetSize
                                                                                   : counters.PeakPagefileUsage;
    return peak ? static_cast<int64_t>(peak) : -1;
  }
  void Kill() override { TerminateProcess(handle_, 1); }

 private:
  HANDLE handle_;
  DWORD id_;
  HANDLE job_;
};

// A job that kills its processes when its last handle closes; null when the
// system makes none.
HANDLE MakeKillOnCloseJob() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);  // not inheritable
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  ZeroMemory(&limits, sizeof limits);
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

}  // namespace

namespace {

// Creates the process inside `job` from its first instruction, so that no
// instant exists in which this process could die and leave the child untied.
// FALSE on systems before Windows 10, which do not know the attribute.
BOOL CreateInJob(const char* image, char* line, BOOL inherit, const char* dir, const STARTUPINFOA& si, HANDLE job,
                 PROCESS_INFORMATION* pi) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  if (size == 0) return FALSE;
  std::vector<char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return FALSE;
  BOOL started = FALSE;
  if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof job, nullptr, nullptr)) {
    STARTUPINFOEXA six;
    ZeroMemory(&six, sizeof six);
    six.StartupInfo = si;
    six.StartupInfo.cb = sizeof six;
    six.lpAttributeList = list;
    started = CreateProcessA(image, line, nullptr, nullptr, inherit, EXTENDED_STARTUPINFO_PRESENT, nullptr, dir,
                             &six.StartupInfo, pi);
  }
  DeleteProcThreadAttributeList(list);
  return started;
}

// Under Wine a program of the host system starts without a process or thread
// handle: the process slot comes back null and the thread slot holds whatever
// the emulator's stack held, often the value of one of our own open handles.
// Neither is closed, waited on or resumed then; the Process has no handle.
void DropHandlesOfAHostProgram(BOOL started, PROCESS_INFORMATION* pi) {
  if (started && !pi->hProcess) pi->hThread = nullptr;
}

std::unique_ptr<Process> Spawn(const char* image, const std::string& command_line, const std::string& working_dir,
                               const std::string& output_path, bool tied = false) {
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back(0);
  STARTUPINFOA si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  HANDLE output = INVALID_HANDLE_VALUE;
  if (!output_path.empty()) {
    SECURITY_ATTRIBUTES sa;
    ZeroMemory(&sa, sizeof sa);
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    output = CreateFileA(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return nullptr;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = output;
    si.hStdError = output;
  }
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof pi);
  const BOOL inherit = output != INVALID_HANDLE_VALUE;
  const char* dir = working_dir.empty() ? nullptr : working_dir.c_str();
  HANDLE job = tied ? MakeKillOnCloseJob() : nullptr;
  BOOL started = FALSE;
  bool in_job = false;
  if (job) {
    started = CreateInJob(image, line.data(), inherit, dir, si, job, &pi);
    DropHandlesOfAHostProgram(started, &pi);
    in_job = started && pi.hProcess;
    if (!started) {
      // Created suspended and put into the job before it runs an
      // instruction. Should this process die in between, the child stays
      // suspended, never running: the narrow price of older systems.
      started = CreateProcessA(image, line.data(), nullptr, nullptr, inherit, CREATE_SUSPENDED, nullptr, dir, &si, &pi);
      DropHandlesOfAHostProgram(started, &pi);
      if (started && pi.hProcess) {
        in_job = AssignProcessToJobObject(job, pi.hProcess) != FALSE;
        ResumeThread(pi.hThread);
      }
    }
  } else {
    started = CreateProcessA(image, line.data(), nullptr, nullptr, inherit, 0, nullptr, dir, &si, &pi);
    DropHandlesOfAHostProgram(started, &pi);
  }
  if (output != INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    CloseHandle(output);
    SetLastError(error);
  }
  if (job && !in_job) {
    CloseHandle(job);
    job = nullptr;
  }
  if (!started) return nullptr;
  if (pi.hThread) CloseHandle(pi.hThread);
  return std::make_unique<WinProcess>(pi.hProcess, pi.dwProcessId, job);
}

}  // namespace

std::unique_ptr<Process> system_services::StartProcess(const ProcessStart& start) {
  const char* image = start.image_path.empty() ? nullptr : start.image_path.c_str();
  return Spawn(image, start.command_line, start.working_dir, start.output_path, start.tied);
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }
uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

bool FindParentProcess(ParentProcess* out) {
  OSVERSIONINFOA vi;
  ZeroMemory(&vi, sizeof vi);
  vi.dwOSVersionInfoSize = sizeof vi;
  if (!GetVersionExA(&vi) || vi.dwPlatformId != VER_PLATFORM_WIN32_NT) return false;

  // Looked up at run time, as on systems where the tool-help functions may be absent.
  HMODULE k32 = GetModuleHandleA("Kernel32.DLL");
  if (!k32) return false;
  using SnapFn = HANDLE(WINAPI*)(DWORD, DWORD);
  using WalkFn = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32);
  auto snap = reinterpret_cast<SnapFn>(reinterpret_cast<void*>(GetProcAddress(k32, "CreateToolhelp32Snapshot")));
  auto first = reinterpret_cast<WalkFn>(reinterpret_cast<void*>(GetProcAddress(k32, "Process32First")));
  auto next = reinterpret_cast<WalkFn>(reinterpret_cast<void*>(GetProcAddress(k32, "Process32Next")));
  if (!snap || !first || !next) return false;

  HANDLE h = snap(TH32CS_SNAPPROCESS, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32 e;
  e.dwSize = sizeof e;
  for (BOOL ok = first(h, &e); ok; ok = next(h, &e)) {
    if (e.th32ProcessID == self) {
      parent = e.th32ParentProcessID;
      break;
    }
  }
  std::string parent_exe;
  if (parent != 0) {
    e.dwSize = sizeof e;
    for (BOOL ok = first(h, &e); ok; ok = next(h, &e)) {
      if (e.th32ProcessID == parent) {
        parent_exe = BaseName(e.szExeFile);
        break;
      }
    }
  }
  CloseHandle(h);
  if (parent == 0) return false;
  out->pid = parent;
  out->exe_name = parent_exe;
  return true;
}

bool ProcessIsAlive(uint32_t pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return alive;
}

bool KillProcess(uint32_t pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!h) return false;
  const bool ended = TerminateProcess(h, 1) != 0;
  CloseHandle(h);
  return ended;
}

void WaitForProcessEnd(uint32_t pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!h) h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return;
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

void system_services::SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

void ClearLastError() { SetLastError(0); }
uint32_t LastError() { return GetLastError(); }

std::string SystemErrorText(uint32_t code) {
  char buf[1024];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, 1023, nullptr);
  return std::string(buf, n);
}

}  // namespace platform
