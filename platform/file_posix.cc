#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

// Calls that cannot succeed as made; everything else the system refuses is
// the environment.
Status FromErrno(int err) {
  switch (err) {
    case EBADF:
    case EINVAL:
    case EFAULT:
    case ESPIPE:
    case ENAMETOOLONG:
      return Status(Status::kBadCall, std::strerror(err));
    default:
      return Status(Status::kRetryable, std::strerror(err));
  }
}

int Fd(NativeFile f) { return static_cast<int>(f); }

// Open files ---------------------------------------------------------------

Status PosixOpen(const FileName& name, const FileOpenOptions& o, NativeFile* out) {
  int flags = O_CLOEXEC;
  switch (o.disposition) {
    case FileDisposition::kReadExisting: flags |= O_RDONLY; break;
    case FileDisposition::kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case FileDisposition::kCreateAlways: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case FileDisposition::kOpenAlways: flags |= O_WRONLY | O_CREAT; break;
    case FileDisposition::kReadWrite: flags |= O_RDWR | O_CREAT; break;
  }
  int fd = ::open(name.ToNarrow().c_str(), flags, 0666);
  if (fd < 0) return FromErrno(errno);
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return FromErrno(EISDIR);
  }
  *out = fd;
  return Status::kOk;
}

Status PosixRead(NativeFile f, int64_t offset, void* dest, size_t n, size_t* got) {
  *got = 0;
  char* p = static_cast<char*>(dest);
  while (*got < n) {
    ssize_t r = ::pread(Fd(f), p + *got, n - *got, static_cast<off_t>(offset + static_cast<int64_t>(*got)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return FromErrno(errno);
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return Status::kOk;
}

Status PosixWrite(NativeFile f, int64_t offset, const void* src, size_t n, size_t* written) {
  *written = 0;
  const char* p = static_cast<const char*>(src);
  while (*written < n) {
    ssize_t w = ::pwrite(Fd(f), p + *written, n - *written, static_cast<off_t>(offset + static_cast<int64_t>(*written)));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return FromErrno(errno);
    if (w == 0) {
      errno = ENOSPC;
      return FromErrno(ENOSPC);
    }
    *written += static_cast<size_t>(w);
  }
  return Status::kOk;
}

Status PosixFlush(NativeFile f) { return ::fdatasync(Fd(f)) == 0 ? Status::kOk : FromErrno(errno); }

Status PosixSetLength(NativeFile f, int64_t length) {
  return ::ftruncate(Fd(f), static_cast<off_t>(length)) == 0 ? Status::kOk : FromErrno(errno);
}

Status PosixSize(NativeFile f, int64_t* size) {
  struct stat st;
  if (::fstat(Fd(f), &st) != 0) return FromErrno(errno);
  *size = static_cast<int64_t>(st.st_size);
  return Status::kOk;
}

Status PosixClose(NativeFile f) { return ::close(Fd(f)) == 0 ? Status::kOk : FromErrno(errno); }

// Names --------------------------------------------------------------------

bool Stat(const FileName& name, struct stat* st) { return ::stat(name.ToNarrow().c_str(), st) == 0; }

bool PosixExists(const FileName& name) {
  struct stat st;
  return Stat(name, &st);
}

bool PosixIsDirectory(const FileName& name) {
  struct stat st;
  return Stat(name, &st) && S_ISDIR(st.st_mode);
}

bool PosixMakeDirectory(const FileName& name) { return ::mkdir(name.ToNarrow().c_str(), 0755) == 0; }
bool PosixRemoveDirectory(const FileName& name) { return ::rmdir(name.ToNarrow().c_str()) == 0; }

bool PosixDeleteFile(const FileName& name) {
  std::string p = name.ToNarrow();
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(p.c_str()) == 0;
}

bool PosixCopyFile(const FileName& from_name, const FileName& to_name) {
  std::string from = from_name.ToNarrow(), to = to_name.ToNarrow();
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return false;
  }
  // Write to a fresh inode: replacing a running executable in place fails
  // (ETXTBSY), and a reader holding the old file keeps its bytes. The
  // temporary is created anew, never opened through whatever lies at its
  // name: a leftover (or a planted link) is removed first, and should
  // anything come back meanwhile the copy fails.
  std::string tmp = to + ".copy~";
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0 && errno == EEXIST && ::unlink(tmp.c_str()) == 0) {
    out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777);
  }
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  ::close(in);
  ok = (::close(out) == 0) && ok;
  // The rename replaces a link at `to` itself, not what it leads to.
  if (ok) ok = ::rename(tmp.c_str(), to.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

bool PosixMoveFile(const FileName& from, const FileName& to) {
  return ::rename(from.ToNarrow().c_str(), to.ToNarrow().c_str()) == 0;
}

bool PosixListDirectory(const FileName& name, std::vector<DirEntry>* out) {
  std::string p = name.ToNarrow();
  DIR* d = ::opendir(p.c_str());
  if (!d) return false;
  out->clear();
  while (struct dirent* e = ::readdir(d)) {
    std::string entry = e->d_name;
    bool dir = false;
    if (e->d_type == DT_DIR) {
      dir = true;
    } else if (e->d_type == DT_UNKNOWN) {
      dir = PosixIsDirectory(p + "/" + entry);
    }
    out->push_back({entry, dir});
  }
  ::closedir(d);
  return true;
}

bool PosixListDirectoryWide(const FileName& name, std::vector<WideDirEntry>* out) {
  std::vector<DirEntry> entries;
  if (!PosixListDirectory(name, &entries)) return false;
  out->clear();
  for (const DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    out->push_back({AnsiToWide(e.name), e.is_directory});
  }
  return true;
}

int PosixReadOnlyState(const FileName& name) {
  struct stat st;
  if (!Stat(name, &st)) return -1;
  return (st.st_mode & S_IWUSR) == 0 ? 1 : 0;
}

bool PosixSetReadOnly(const FileName& name, bool ro) {
  std::string p = name.ToNarrow();
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = ro ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  return ::chmod(p.c_str(), mode) == 0;
}

int64_t PosixFileSize(const FileName& name) {
  struct stat st;
  if (!Stat(name, &st) || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool PosixMakeExecutable(const FileName& name) {
  std::string p = name.ToNarrow();
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return false;
  return ::chmod(p.c_str(), (st.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH) == 0;
}

int64_t PosixModifiedTime(const FileName& name) {
  struct stat st;
  if (!Stat(name, &st)) return -1;
  return static_cast<int64_t>(st.st_mtime);
}

FileName PosixWorkingDirectory(bool wide) {
  char buf[4096];
  std::string out;
  if (::getcwd(buf, sizeof buf)) {
    out = buf;
    if (out.empty() || out.back() != '/') out += '/';
  }
  if (wide) return FileName(AnsiToWide(out));
  return FileName(out);
}

bool PosixChangeWorkingDirectory(const FileName& name) { return ::chdir(name.ToNarrow().c_str()) == 0; }

std::vector<std::wstring> PosixDriveRoots() { return {L"/"}; }

}  // namespace

bool IsLink(const FileName& name) {
  struct stat st;
  return ::lstat(name.ToNarrow().c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RealPath(const FileName& name, std::string* out) {
  char* real = ::realpath(name.ToNarrow().c_str(), nullptr);
  if (!real) return false;
  *out = real;
  std::free(real);
  return true;
}

const char kTextLineEnd[] = "\n";

const FileSystemCalls& RealFileCalls() {
  static const FileSystemCalls calls = {
      PosixOpen,          PosixRead,           PosixWrite,
      PosixFlush,         PosixSetLength,      PosixSize,
      PosixClose,         PosixExists,         PosixIsDirectory,
      PosixMakeDirectory, PosixRemoveDirectory, PosixDeleteFile,
      PosixCopyFile,      PosixMoveFile,       PosixListDirectory,
      PosixListDirectoryWide, PosixReadOnlyState, PosixSetReadOnly,
      PosixFileSize,      PosixMakeExecutable, PosixModifiedTime,
      PosixWorkingDirectory, PosixChangeWorkingDirectory, PosixDriveRoots,
  };
  return calls;
}

}  // namespace platform
