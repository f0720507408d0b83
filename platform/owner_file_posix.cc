#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace platform
