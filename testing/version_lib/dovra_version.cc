// Stand-in for the client's version library. Both values come from
// "dovra_version.ini" beside the library, read afresh on every load:
//
//   [version]
//   ClientVersion=1.0.0.1
//   UpdateVersionUrl=http://127.0.0.1:8080/
//
// A setup program confirms an update by writing the new ClientVersion.
#include <string>

#include "platform/ini.h"
#include "platform/path.h"

namespace {

std::string& ClientVersion() {
  static std::string v;
  return v;
}
std::string& UpdateUrl() {
  static std::string v;
  return v;
}

std::string IniPath() { return platform::DirName(platform::ModulePathOf(reinterpret_cast<const void*>(&IniPath))) + "dovra_version.ini"; }

struct LoadTimeRead {
  LoadTimeRead() {
    std::string ini = IniPath();
    ClientVersion() = platform::ProfileString("version", "ClientVersion", "", ini);
    UpdateUrl() = platform::ProfileString("version", "UpdateVersionUrl", "", ini);
  }
} load_time_read;

}  // namespace

extern "C" const char* GetClientVersion() { return ClientVersion().c_str(); }
extern "C" const char* GetUpdateVersionUrl() { return UpdateUrl().c_str(); }
