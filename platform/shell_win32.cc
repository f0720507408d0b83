#include "platform/shell.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>

namespace platform {

int ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory,
              int show_command) {
  HINSTANCE result = ShellExecuteA(nullptr, "open", file.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
                                   directory.empty() ? nullptr : directory.c_str(), show_command);
  return static_cast<int>(reinterpret_cast<intptr_t>(result));
}

}  // namespace platform
