#include <sys/stat.h>
#include <unistd.h>

#include "platform/runtime_dir.h"

namespace platform {
std::string RuntimeObjectPath(const std::string& name, const std::string& suffix) {
  const std::string dir = "/tmp/renewel-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) != 0) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return std::string();
  }
  std::string safe;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    safe += ok ? c : '_';
  }
  return dir + "/" + safe + suffix;
}

}  // namespace platform
