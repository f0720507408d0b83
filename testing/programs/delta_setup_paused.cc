// A test build of the setup program that stops at one step boundary so that
// a test can kill it there. When the install directory's parent holds a file
// "delta-pause-at" with a step number k, the program writes the file
// "delta-paused" beside it on reaching step k and then waits (at most ten
// minutes) to be killed. Never shipped.
#include <cstdlib>
#include <string>

#include "delta_setup/setup_main.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"

namespace {

void PauseAt(int step, const std::string& install_dir) {
  std::string dir = install_dir;
  while (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  dir = platform::DirName(dir);
  std::string at;
  if (!platform::ReadFileToString(dir + "delta-pause-at", &at) || std::atoi(at.c_str()) != step) return;
  platform::WriteStringToFile(dir + "delta-paused", std::to_string(step));
  for (int i = 0; i < 6000; ++i) platform::SleepMs(100);
  std::_Exit(99);
}

}  // namespace

int main(int argc, char** argv) {
  delta_install::g_step_hook = PauseAt;
  return delta_install::SetupMain(argc, argv);
}
