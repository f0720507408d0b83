#include "platform/runtime_dir.h"

namespace platform {

// Windows keeps named objects in the kernel's namespace; no files back them.
std::string RuntimeObjectPath(const std::string&, const std::string&) { return std::string(); }

}  // namespace platform
