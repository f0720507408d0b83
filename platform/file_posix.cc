#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/file.h"

namespace platform {
namespace {

bool PosixExists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

bool PosixIsDirectory(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixMakeDirectory(const std::string& p) { return mkdir(p.c_str(), 0755) == 0; }
bool PosixRemoveDirectory(const std::string& p) { return rmdir(p.c_str()) == 0; }

bool PosixDeleteFile(const std::string& p) {
  struct stat st;
  if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return unlink(p.c_str()) == 0;
}

bool PosixCopyFile(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  // Write to a fresh inode: replacing a running executable in place fails
  // (ETXTBSY), and a reader holding the old file keeps its bytes.
  std::string tmp = to + ".copy~";
  int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  close(in);
  ok = (close(out) == 0) && ok;
  if (ok) ok = rename(tmp.c_str(), to.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

bool PosixMoveFile(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool PosixListDirectory(const std::string& p, std::vector<DirEntry>* out) {
  DIR* d = opendir(p.c_str());
  if (!d) return false;
  out->clear();
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    bool dir = false;
    if (e->d_type == DT_DIR) {
      dir = true;
    } else if (e->d_type == DT_UNKNOWN) {
      dir = PosixIsDirectory(p + "/" + name);
    }
    out->push_back({name, dir});
  }
  closedir(d);
  return true;
}

bool PosixIsReadOnly(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

bool PosixSetReadOnly(const std::string& p, bool ro) {
  struct stat st;
  if (stat(p.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = ro ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  return chmod(p.c_str(), mode) == 0;
}

int64_t PosixFileSize(const std::string& p) {
  struct stat st;
  if (stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool PosixMakeExecutable(const std::string& p) {
  struct stat st;
  if (stat(p.c_str(), &st) != 0) return false;
  return chmod(p.c_str(), (st.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH) == 0;
}

}  // namespace

const FileOps& RealFiles() {
  static const FileOps ops = {
      PosixExists,        PosixIsDirectory, PosixMakeDirectory, PosixRemoveDirectory,
      PosixDeleteFile,    PosixCopyFile,    PosixMoveFile,      PosixListDirectory,
      PosixIsReadOnly,    PosixSetReadOnly, PosixFileSize,      PosixMakeExecutable,
  };
  return ops;
}

}  // namespace platform
