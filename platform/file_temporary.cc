// The publisher's replacement of served files. A translation unit of its
// own: the version library and the other shared libraries link file.cc, and
// what this one pulls in (the process id and its decimal text) would be
// linked into them with it; the decimal text brings a unique symbol of the
// C++ library that keeps a shared library loaded after it is unloaded.
#include <string>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"

namespace platform {

std::string TemporaryNameFor(const std::string& path) {
  const std::string dir = DirName(path);
  const std::string hidden = "." + BaseName(path) + ".tmp-" + std::to_string(CurrentProcessId());
  return dir.empty() ? hidden : JoinPath(dir, hidden);
}

Status ReplaceFileThroughTemporary(const std::string& path, const std::string& data) {
  return ReplaceFileVia(TemporaryNameFor(path), path, data);
}

}  // namespace platform
