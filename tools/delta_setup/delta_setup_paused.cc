// A test build of the setup program that stops at one step boundary so that
// a test can kill it there. With DELTA_SETUP_PAUSE_AT=k in its environment
// it writes the file named by DELTA_SETUP_PAUSE_MARKER when it reaches step k
// and then waits (at most ten minutes) to be killed. Never shipped.
#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "tools/delta_setup/setup_main.h"

namespace {

void PauseAt(int step, const std::string&) {
  const char* at = std::getenv("DELTA_SETUP_PAUSE_AT");
  const char* marker = std::getenv("DELTA_SETUP_PAUSE_MARKER");
  if (!at || !marker || std::atoi(at) != step) return;
  platform::WriteStringToFile(marker, std::to_string(step));
  for (int i = 0; i < 6000; ++i) platform::SleepMs(100);
  std::_Exit(99);
}

}  // namespace

int main(int argc, char** argv) {
  delta_install::g_step_hook = PauseAt;
  return delta_install::SetupMain(argc, argv);
}
