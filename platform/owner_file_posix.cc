#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/owner_file.h"

namespace platform {

bool CreateOwnerOnlyFile(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // The umask may only take bits away; make sure no others were added.
  bool ok = fchmod(fd, 0600) == 0;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(path.c_str());
  return ok;
}

bool IsOwnerOnlyFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0;
}

bool IsPrivateFile(const std::string& path, std::string* why) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *why = "cannot read its permissions";
    return false;
  }
  if ((st.st_mode & 077) == 0) return true;
  char mode[16];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  *why = std::string("mode ") + mode;
  return false;
}

bool IsOwnUnchanged(const std::string& path, bool directory, std::string* why) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *why = "cannot be examined";
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *why = "is a link";
    return false;
  }
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    *why = directory ? "is not a directory" : "is not a regular file";
    return false;
  }
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    *why = "is owned by user " + std::to_string(st.st_uid) + ", not by this user (" + std::to_string(geteuid()) + ")";
    return false;
  }
  if ((st.st_mode & 022) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = std::string("has mode ") + mode + ", which lets other users change it";
    return false;
  }
  return true;
}

// The umask may only take bits away: no write bit for others can come back.
bool MakeOwnUnchangedDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

bool KeepsOwnerOnlyProtection(const std::string& dir, std::string* why) {
  const std::string probe = dir + "/owner-probe-" + std::to_string(getpid()) + ".tmp";
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *why = "cannot make a probe file in " + dir;
    return false;
  }
  struct stat st;
  const bool set = fchmod(fd, 0600) == 0 && fstat(fd, &st) == 0;
  close(fd);
  unlink(probe.c_str());
  if (set && (st.st_mode & 0777) == 0600) return true;
  char mode[16];
  std::snprintf(mode, sizeof mode, "%04o", set ? static_cast<unsigned>(st.st_mode & 0777) : 0u);
  *why = std::string("mode 0600 was written, ") + (set ? std::string("mode ") + mode + " came back" : "and refused");
  return false;
}

bool GrantOthersAccess(const std::string& path, bool write) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  mode_t add = S_IRGRP | S_IROTH;
  if (write) add |= S_IWGRP | S_IWOTH;
  if (S_ISDIR(st.st_mode)) add |= S_IXGRP | S_IXOTH;
  return ::chmod(path.c_str(), (st.st_mode & 07777) | add) == 0;
}

std::string MakePrivateCommand(const std::string& path) {
  return "chmod 600 " + path;
}

}  // namespace platform
