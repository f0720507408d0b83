#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "platform/env.h"
#include "platform/path.h"

namespace platform {

const char kPathSep = '/';
const char* const kExeSuffix = "";
const char* const kLibSuffix = ".so";

std::string system_services::ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string ExecutableImagePath() { return "/proc/self/exe"; }

std::string ModulePathOf(const void* address) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
  return resolved;
}

}  // namespace platform
