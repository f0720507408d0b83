// Records how it was started and exits: the sample game, and a stand-in
// launcher for restart tests. Appends to "<own path>.started.txt" one block:
//   cwd=<working directory>
//   arg=<argument>        (one line per argument, program name first)
//   end
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/path.h"

int main(int argc, char** argv) {
  std::string out = platform::ExecutablePath() + ".started.txt";
  FILE* f = std::fopen(out.c_str(), "ab");
  if (!f) return 1;
  std::error_code ec;
  std::fprintf(f, "cwd=%s\n", std::filesystem::current_path(ec).string().c_str());
  for (int i = 0; i < argc; ++i) std::fprintf(f, "arg=%s\n", argv[i]);
  std::fprintf(f, "end\n");
  std::fclose(f);
  return 0;
}
