#include <unistd.h>

#include "platform/link.h"

namespace platform {

bool MakeSymbolicLink(const std::string& target, const std::string& link, bool /*directory*/) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

}  // namespace platform
