#include "platform/sealed_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform {
namespace {

class MemorySealedFile : public SealedFile {
 public:
  explicit MemorySealedFile(int fd) : fd_(fd), read_path_("/proc/self/fd/" + std::to_string(fd)) {}
  ~MemorySealedFile() override { close(fd_); }

  const std::string& ReadPath() const override { return read_path_; }

  std::unique_ptr<Process> Start(const std::string& command_line, const std::string& working_dir) override {
    // The child closes every inherited descriptor before it executes, so it
    // reaches the memory file through this process's descriptor table.
    const std::string image = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
    return StartProcessFromImage(image, command_line, working_dir);
  }

 private:
  int fd_;
  std::string read_path_;
};

int MakeMemoryFile() {
  const unsigned base = MFD_CLOEXEC | MFD_ALLOW_SEALING;
#ifdef MFD_EXEC
  // Systems that make memory files non-executable by default need the flag;
  // older kernels do not know it.
  int fd = memfd_create("Quillfen package", base | MFD_EXEC);
  if (fd >= 0 || errno != EINVAL) return fd;
#endif
  return memfd_create("Quillfen package", base);
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::unique_ptr<SealedFile> SealedFile::Seal(const std::string& path, std::string* error) {
  const int src = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return nullptr;
  }
  struct stat st;
  if (fstat(src, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(src);
    *error = path + " is not a regular file";
    return nullptr;
  }
  const int fd = MakeMemoryFile();
  if (fd < 0) {
    *error = std::string("cannot make a memory file: ") + strerror(errno);
    close(src);
    return nullptr;
  }
  std::vector<char> buffer(1 << 20);
  bool ok = true;
  for (;;) {
    ssize_t got = read(src, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = "cannot read " + path + ": " + strerror(errno);
      ok = false;
      break;
    }
    if (got == 0) break;
    if (!WriteAll(fd, buffer.data(), static_cast<size_t>(got))) {
      *error = std::string("cannot fill the memory file: ") + strerror(errno);
      ok = false;
      break;
    }
  }
  close(src);
  // Whatever the copy holds is what is checked and run: the digests are
  // computed over it after the seals.
  if (ok && fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
    *error = std::string("cannot seal the memory file: ") + strerror(errno);
    ok = false;
  }
  if (!ok) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<MemorySealedFile>(fd);
}

}  // namespace platform
