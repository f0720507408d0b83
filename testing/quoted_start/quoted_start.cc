// Starts a program with an exact command line in which every argument stands
// in its own pair of double quotes, the form Gleaner requires. A shell or an
// emulator that rebuilds a command line from an argument list quotes only
// arguments with blanks, and Gleaner reads no unquoted path.
//
//   quoted_start OUTPUT PROGRAM [ARGS...]
//
// The program's standard output and standard error go to the file OUTPUT.
// Waits for the program and exits with its exit code; 2 on a usage error
// (too few arguments, or an argument holding a double quote, which the form
// cannot carry), 3 when the program cannot be started.
#include <cstdio>
#include <string>

#include "platform/process.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: quoted_start OUTPUT PROGRAM [ARGS...]\n");
    return 2;
  }
  std::string line = platform::QuoteArgument(argv[2]);
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.find('"') != std::string::npos) {
      std::fprintf(stderr, "quoted_start: an argument holds a double quote: %s\n", argv[i]);
      return 2;
    }
    line += " \"" + arg + "\"";
  }
  auto child = platform::StartProcess(line, std::string(), argv[1]);
  if (!child) {
    std::fprintf(stderr, "quoted_start: cannot start %s\n", argv[2]);
    return 3;
  }
  child->Wait();
  return child->ExitCode();
}
