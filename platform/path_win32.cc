#include <windows.h>

#include "platform/env.h"
#include "platform/path.h"

namespace platform {

const char kPathSep = '\\';
const char* const kExeSuffix = ".exe";
const char* const kLibSuffix = ".dll";

static std::string ModuleFileName(HMODULE module) {
  char buf[8192];
  DWORD n = GetModuleFileNameA(module, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return std::string();
  return std::string(buf, n);
}

std::string system_services::ExecutablePath() { return ModuleFileName(nullptr); }

std::string ExecutableImagePath() { return ModuleFileName(nullptr); }

std::string ModulePathOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address), &module)) {
    return std::string();
  }
  return ModuleFileName(module);
}

}  // namespace platform
