#include <windows.h>

#include "platform/link.h"

namespace platform {

bool MakeSymbolicLink(const std::string& target, const std::string& link, bool directory) {
  // 0x2: unprivileged, where the system allows it (developer mode).
  const DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;
  if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), flags)) return false;
  const DWORD attributes = GetFileAttributesA(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace platform
