#include "testing/resources/overrides.h"

#include "platform/ini.h"
#include "platform/path.h"
#include "testing/resources/strings.h"

namespace quillfen {

std::vector<StringOverride> ReadStringOverrides(const void* module_address) {
  std::vector<StringOverride> out;
  const std::string module = platform::ModulePathOf(module_address);
  if (module.empty()) return out;
  const std::string ini = platform::DirName(module) + QUILLFEN_OVERRIDE_FILE;
  // A value no profile line can produce tells a missing key from an empty one.
  const std::string absent(1, '\x01');
#define QUILLFEN_READ_OVERRIDE(id, text)                                                                \
  {                                                                                                     \
    std::string value = platform::ProfileString(QUILLFEN_OVERRIDE_SECTION, #id, absent, ini, 4096);     \
    if (value != absent) out.push_back({id, value});                                                    \
  }
  QUILLFEN_STRINGS(QUILLFEN_READ_OVERRIDE)
#undef QUILLFEN_READ_OVERRIDE
  return out;
}

}  // namespace quillfen
