#include <windows.h>

#include <cstdlib>

#include "platform/host_path.h"

namespace platform {

// Wine's kernel32 exports the translation; real Windows has nothing to map.
std::string HostPath(const std::string& path) {
  using ToUnix = char* (*)(const WCHAR*);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto to_unix = kernel ? reinterpret_cast<ToUnix>(
                              reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                        : nullptr;
  if (!to_unix) return path;
  int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return path;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], n);
  char* unix_path = to_unix(wide.c_str());
  if (!unix_path) return path;
  std::string out(unix_path);
  HeapFree(GetProcessHeap(), 0, unix_path);
  return out;
}

}  // namespace platform
