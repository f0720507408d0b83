// The install directory a setup program is started for:
//   <package> /USERNAME=<name> /D=<install directory>
// The /D= value comes last and may contain blanks, which split it into
// several arguments: they are joined again. Empty when there is no /D=.
#ifndef DELTA_SETUP_SETUP_COMMAND_LINE_H_
#define DELTA_SETUP_SETUP_COMMAND_LINE_H_

#include <string>

inline std::string SetupTarget(int argc, char** argv) {
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
  return target;
}

#endif  // DELTA_SETUP_SETUP_COMMAND_LINE_H_
