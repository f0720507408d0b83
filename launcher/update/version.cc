#include "launcher/update/version.h"

#include <cstdio>

#include "launcher/log/logger.h"
#include "launcher/update/install_path.h"
#include "platform/path.h"
#include "platform/shared_library.h"

namespace {

bool ParseVersion(const std::string& text, int v[4]) {
  std::string cut = text.substr(0, 63);
  return std::sscanf(cut.c_str(), "%d.%d.%d.%d", &v[0], &v[1], &v[2], &v[3]) == 4;
}

}  // namespace

std::string VersionLibraryName() { return std::string("dovra_version") + platform::kLibSuffix; }

int CompareVersions(const std::string& a, const std::string& b) {
  int va[4], vb[4];
  if (!ParseVersion(a, va) || !ParseVersion(b, vb)) {
    LogError() << "the version's format error";
    return -2;
  }
  for (int i = 0; i < 4; ++i) {
    if (va[i] != vb[i]) return static_cast<long long>(va[i]) - vb[i] > 0 ? 1 : -1;
  }
  return 0;
}

bool QueryVersionLibrary(const std::string& library_path, const char* export_name, std::string& out) {
  std::unique_ptr<platform::SharedLibrary> lib = platform::SharedLibrary::Load(library_path);
  if (!lib) return false;
  using Fn = const char* (*)();
  if (Fn fn = reinterpret_cast<Fn>(lib->Symbol(export_name))) {
    const char* text = fn();
    out = text ? text : "";
  }
  return true;
}

bool QueryClientVersion(std::string& out) {
  return QueryVersionLibrary(InstallPath(VersionLibraryName()), "GetClientVersion", out);
}

bool QueryUpdateVersionUrl(std::string& out) {
  return QueryVersionLibrary(InstallPath(VersionLibraryName()), "GetUpdateVersionUrl", out);
}
