// The sample setup program of an update package. Started as
//   <package> /USERNAME=Renewel /D=<install directory>
// it installs the files of its payload under the install directory and
// records the version it produces in the version library's INI file, unless
// the payload says to behave as cancelled. Exit code 0 on success, 1 when
// cancelled, 2 on a usage error, 3 when the payload is missing or damaged, 4
// when a file cannot be written.
#include <cstdio>
#include <string>

#include "delta_setup/setup_command_line.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "testing/sample_setup/package_format.h"

int main(int argc, char** argv) {
  const std::string target = SetupTarget(argc, argv);
  if (target.empty()) {
    std::fprintf(stderr, "usage: %s /USERNAME=<name> /D=<install directory>\n", argv[0]);
    return 2;
  }
  std::string self;
  sample_package::Payload payload;
  if (!platform::ReadFileToString(platform::ExecutableImagePath(), &self) || !sample_package::Detach(self, &payload)) {
    std::fprintf(stderr, "setup: no package payload\n");
    return 3;
  }
  if (payload.cancel) {
    std::fprintf(stderr, "setup: cancelled\n");
    return 1;
  }
  for (const sample_package::File& f : payload.files) {
    std::string rel = f.path;
    for (char& c : rel) {
      if (c == '/') c = platform::kPathSep;
    }
    std::string dest = platform::JoinPath(target, rel);
    platform::MakeDirectories(platform::DirName(dest));
    // A running program cannot be overwritten in place everywhere: write
    // beside it and rename over it.
    std::string tmp = dest + ".setup~";
    bool exec = platform::Exists(dest) || rel.find('.') == std::string::npos;
    if (!platform::WriteStringToFile(tmp, f.data) || !platform::RenameFile(tmp, dest)) {
      platform::RemoveFile(tmp);
      std::fprintf(stderr, "setup: cannot write %s\n", dest.c_str());
      return 4;
    }
    if (exec) platform::MakeExecutable(dest);
  }
  if (!platform::SetProfileString("version", "ClientVersion", payload.version,
                                  platform::JoinPath(target, "dovra_version.ini"))) {
    return 4;
  }
  std::printf("setup: installed %zu files, version %s\n", payload.files.size(), payload.version.c_str());
  return 0;
}
