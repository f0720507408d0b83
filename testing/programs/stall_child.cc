// A helper that never finishes, for tests that kill the program that started
// it: writes its process id to "stall.pid" in its current directory (whole,
// through a rename), then sleeps for a minute and exits with 1. Its
// arguments are ignored, so it can stand in for any tool.
#include <string>

#include "platform/file.h"
#include "platform/process.h"

int main() {
  if (!platform::WriteStringToFile("stall.pid.tmp", std::to_string(platform::CurrentProcessId())) ||
      !platform::RenameFile("stall.pid.tmp", "stall.pid"))
    return 2;
  for (int i = 0; i < 600; ++i) platform::SleepMs(100);
  return 1;
}
