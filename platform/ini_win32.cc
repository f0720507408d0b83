#include <windows.h>

#include <vector>

#include "platform/ini.h"

namespace platform {

int ProfileInt(const std::string& section, const std::string& key, int def, const std::string& path) {
  return static_cast<int>(GetPrivateProfileIntA(section.c_str(), key.c_str(), def, path.c_str()));
}

std::string ProfileString(const std::string& section, const std::string& key, const std::string& def,
                             const std::string& path, size_t buffer_size) {
  if (buffer_size == 0) return std::string();
  std::vector<char> buf(buffer_size);
  DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf.data(),
                                     static_cast<DWORD>(buffer_size), path.c_str());
  return std::string(buf.data(), n);
}

bool SetProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path) {
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()) != 0;
}

}  // namespace platform
