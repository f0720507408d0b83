#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_handle.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

class PosixFileHandle : public FileHandle {
 public:
  explicit PosixFileHandle(int fd) : fd_(fd) {}
  ~PosixFileHandle() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Read(void* dest, int32_t n, int32_t* got) override {
    *got = 0;
    if (fd_ < 0 || n < 0) return false;
    char* p = static_cast<char*>(dest);
    while (*got < n) {
      ssize_t r = ::read(fd_, p + *got, static_cast<size_t>(n - *got));
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (r == 0) break;
      *got += static_cast<int32_t>(r);
    }
    return true;
  }
  bool Write(const void* src, int32_t n, int32_t* written) override {
    *written = 0;
    if (fd_ < 0 || n < 0) return false;
    const char* p = static_cast<const char*>(src);
    while (*written < n) {
      ssize_t r = ::write(fd_, p + *written, static_cast<size_t>(n - *written));
      if (r < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (r == 0) return false;
      *written += static_cast<int32_t>(r);
    }
    return true;
  }
  bool SeekTo(int64_t offset) override {
    return fd_ >= 0 && offset >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
  }
  int64_t SeekToEnd() override { return fd_ < 0 ? -1 : static_cast<int64_t>(::lseek(fd_, 0, SEEK_END)); }
  int64_t Tell() override { return fd_ < 0 ? -1 : static_cast<int64_t>(::lseek(fd_, 0, SEEK_CUR)); }
  int64_t Size() override {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }
  bool Close() override {
    if (fd_ < 0) return false;
    int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_;
};

std::unique_ptr<FileHandle> OpenNarrow(const std::string& name, const FileOpenOptions& o) {
  int flags = O_CLOEXEC;
  switch (o.disposition) {
    case FileDisposition::kReadExisting: flags |= O_RDONLY; break;
    case FileDisposition::kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case FileDisposition::kCreateAlways: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case FileDisposition::kOpenAlways: flags |= O_WRONLY | O_CREAT; break;
  }
  int fd = ::open(name.c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return nullptr;
  }
  return std::make_unique<PosixFileHandle>(fd);
}

std::unique_ptr<FileHandle> OpenWide(const std::wstring& name, const FileOpenOptions& o) {
  return OpenNarrow(WideToAnsi(name), o);
}

}  // namespace

const FileHandleOpeners& RealFileHandleOpeners() {
  static const FileHandleOpeners openers = {OpenNarrow, OpenWide};
  return openers;
}

}  // namespace platform
