#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/own_directory.h"

namespace platform {
namespace {

// A trailing slash would make lstat follow a link to a directory.
std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

OwnDirectory CheckOwnDirectory(const std::string& path, std::string* why) {
  const std::string p = WithoutTrailingSlashes(path);
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0) {
    if (errno == ENOENT) return OwnDirectory::kMissing;
    *why = std::string("cannot be examined: ") + std::strerror(errno);
    return OwnDirectory::kRefused;
  }
  if (S_ISLNK(st.st_mode)) {
    *why = "is a symbolic link";
    return OwnDirectory::kRefused;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = "is not a directory";
    return OwnDirectory::kRefused;
  }
  if (st.st_uid != ::geteuid()) {
    *why = "belongs to user " + std::to_string(st.st_uid) + ", not to the player (user " +
           std::to_string(::geteuid()) + ")";
    return OwnDirectory::kRefused;
  }
  if ((st.st_mode & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = std::string("is writable by ") + ((st.st_mode & 002) ? "all users" : "its group") + " (mode " + mode + ")";
    return OwnDirectory::kRefused;
  }
  return OwnDirectory::kOwn;
}

bool MakeOwnDirectory(const std::string& path) {
  // The umask may only take bits away.
  return ::mkdir(WithoutTrailingSlashes(path).c_str(), 0755) == 0;
}

}  // namespace platform
