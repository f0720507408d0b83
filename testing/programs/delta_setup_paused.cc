// A test build of the setup program that stops at one instant of its install
// so that a test can kill it there. When the install directory's parent holds
// a file "delta-pause-at" with a number k, the program stops right before its
// k-th call that changes the disk (a file opened for writing, a rename, a
// deletion), writes the file "delta-paused" beside it with k, and waits (at
// most ten minutes) to be killed. It turns the file calls of the platform's
// environment, nothing of the setup program itself. Never shipped.
#include <atomic>
#include <cstdlib>
#include <string>

#include "delta_setup/setup_command_line.h"
#include "delta_setup/setup_main.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"

namespace {

std::string g_marks;  // the directory of delta-pause-at and delta-paused
int g_pause_at = 0;
std::atomic<int> g_changes{0};

void Checkpoint() {
  const int n = ++g_changes;
  if (n != g_pause_at) return;
  const platform::FileSystemCalls& real = platform::RealFileCalls();
  // Written with the real calls: this is no change of the install.
  platform::ScopedFileCallsOverride quiet;
  platform::FileCalls() = real;
  platform::WriteStringToFile(g_marks + "delta-paused", std::to_string(n));
  for (int i = 0; i < 6000; ++i) platform::SleepMs(100);
  std::_Exit(99);
}

platform::Status Open(const platform::FileName& name, const platform::FileOpenOptions& o, platform::NativeFile* out) {
  if (o.disposition != platform::FileDisposition::kReadExisting) Checkpoint();
  return platform::RealFileCalls().open(name, o, out);
}
bool Move(const platform::FileName& from, const platform::FileName& to) {
  Checkpoint();
  return platform::RealFileCalls().move_file(from, to);
}
bool Delete(const platform::FileName& path) {
  Checkpoint();
  return platform::RealFileCalls().delete_file(path);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = SetupTarget(argc, argv);
  while (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  g_marks = platform::DirName(dir);
  std::string at;
  if (!dir.empty() && platform::ReadFileToString(g_marks + "delta-pause-at", &at)) g_pause_at = std::atoi(at.c_str());
  platform::FileCalls().open = Open;
  platform::FileCalls().move_file = Move;
  platform::FileCalls().delete_file = Delete;
  return delta_install::SetupMain(argc, argv);
}
