#include "launcher/update/install_path.h"

#include "platform/path.h"

std::string InstallPathFor(const std::string& executable_path, const std::string& name) {
  std::string file = platform::BaseName(executable_path);
  size_t at = executable_path.rfind(file);
  std::string dir = at == std::string::npos ? executable_path : executable_path.substr(0, at);
  const std::string temp = std::string("temp") + platform::kPathSep;
  size_t cut = dir.rfind(temp);
  if (cut != std::string::npos) dir.resize(cut);
  return dir + name;
}

std::string InstallPath(const std::string& name) { return InstallPathFor(platform::ExecutablePath(), name); }
