#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/random_file.h"

namespace platform {
namespace {

// POSIX has no share modes: every open of a file is shared.
class PosixRandomFile : public RandomFile {
 public:
  explicit PosixRandomFile(int fd) : fd_(fd) {}
  ~PosixRandomFile() override { close(fd_); }

  bool Seek(uint64_t position) override {
    position_ = position;
    return true;
  }
  uint64_t Position() const override { return position_; }

  int64_t Length() override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return -1;
    return st.st_size;
  }

  bool SetLength(uint64_t length) override { return ftruncate(fd_, static_cast<off_t>(length)) == 0; }

  bool Write(const void* data, size_t n) override {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      ssize_t w = pwrite(fd_, p, n, static_cast<off_t>(position_));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
      position_ += static_cast<uint64_t>(w);
    }
    return true;
  }

  int64_t Read(void* data, size_t n) override {
    for (;;) {
      ssize_t r = pread(fd_, data, n, static_cast<off_t>(position_));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      position_ += static_cast<uint64_t>(r);
      return r;
    }
  }

  bool Flush() override { return fdatasync(fd_) == 0; }

 private:
  int fd_;
  uint64_t position_ = 0;
};

}  // namespace

std::unique_ptr<RandomFile> RandomFile::Open(const std::string& path, Share share) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixRandomFile>(fd);
}

}  // namespace platform
