// The command line of the setup program, shared by its two builds.
#ifndef DELTA_SETUP_SETUP_MAIN_H_
#define DELTA_SETUP_SETUP_MAIN_H_

#include <cstdio>
#include <string>

#include "delta_setup/delta_install.h"
#include "delta_setup/setup_command_line.h"
#include "platform/path.h"

namespace delta_install {

inline int SetupMain(int argc, char** argv) {
  const std::string target = SetupTarget(argc, argv);
  if (target.empty()) {
    std::fputs(("usage: " + std::string(argv[0]) + " /USERNAME=<name> /D=<install directory>\n").c_str(), stderr);
    return kUsage;
  }
  return Install(platform::ExecutableImagePath(), target);
}

}  // namespace delta_install

#endif  // DELTA_SETUP_SETUP_MAIN_H_
