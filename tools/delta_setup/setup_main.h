// The command line of the setup program, shared by its two builds.
#ifndef TOOLS_DELTA_SETUP_SETUP_MAIN_H_
#define TOOLS_DELTA_SETUP_SETUP_MAIN_H_

#include <cstdio>
#include <string>

#include "platform/path.h"
#include "tools/delta_setup/delta_install.h"

namespace delta_install {

inline int SetupMain(int argc, char** argv) {
  // The /D= value comes last and may contain blanks, which split it into
  // several arguments: join them again.
  std::string target;
  bool in_target = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (!in_target && a.rfind("/D=", 0) == 0) {
      in_target = true;
      target = a.substr(3);
    } else if (in_target) {
      target += " " + a;
    }
  }
  if (target.empty()) {
    std::fprintf(stderr, "usage: %s /USERNAME=<name> /D=<install directory>\n", argv[0]);
    return kUsage;
  }
  return Install(platform::ExecutableImagePath(), target);
}

}  // namespace delta_install

#endif  // TOOLS_DELTA_SETUP_SETUP_MAIN_H_
