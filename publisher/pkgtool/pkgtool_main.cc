// pkgtool: see publisher/pkgtool/package_tool.h.
#include <cstdio>

#include "platform/wide_text.h"
#include "publisher/pkgtool/package_tool.h"

int main(int argc, char** argv) {
  std::string Out;
  const int Code = pkgtool::RunPkgtool(std::vector<std::string>(argv + 1, argv + argc), &Out);
  platform::WriteStandardOutput(Out);
  return Code;
}
