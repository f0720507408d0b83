#include "platform/path.h"

#include "platform/env.h"

namespace platform {

static bool IsSep(char c) { return c == '/' || c == kPathSep; }

std::string BaseName(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsSep(path[i - 1])) return path.substr(i);
  }
  return path;
}

std::string DirName(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsSep(path[i - 1])) return path.substr(0, i);
  }
  return std::string();
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || IsSep(dir.back())) return dir + name;
  return dir + kPathSep + name;
}

std::string ExecutablePath() { return CurrentEnv().ExecutablePath(); }

std::string ExecutableDir() { return DirName(ExecutablePath()); }

}  // namespace platform
