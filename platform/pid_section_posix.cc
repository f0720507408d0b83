// POSIX shared memory objects of 4 bytes. Unlike a Windows section, a shared
// memory object outlives its processes, so the creator unlinks it when it
// closes, and a section whose process has died is treated as absent.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "platform/pid_section.h"
#include "platform/process.h"

namespace platform {
namespace {

std::string ShmName(const std::string& name) {
  std::string safe = "/renewel-" + std::to_string(getuid()) + "-";
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    safe += ok ? c : '_';
  }
  return safe;
}

class ShmSection : public PidSection {
 public:
  ShmSection(std::string name, int fd, void* map, bool owner)
      : name_(std::move(name)), fd_(fd), map_(static_cast<volatile uint32_t*>(map)), owner_(owner) {}
  ~ShmSection() override {
    munmap(const_cast<uint32_t*>(map_), sizeof(uint32_t));
    close(fd_);
    if (owner_) shm_unlink(name_.c_str());
  }
  uint32_t ReadPid() const override { return *map_; }
  void WritePid(uint32_t pid) override { *map_ = pid; }

 private:
  std::string name_;
  int fd_;
  volatile uint32_t* map_;
  bool owner_;
};

std::unique_ptr<PidSection> Map(const std::string& shm, int fd, int prot, bool owner) {
  void* p = mmap(nullptr, sizeof(uint32_t), prot, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<ShmSection>(shm, fd, p, owner);
}

bool IsStale(int fd) {
  uint32_t pid = 0;
  if (pread(fd, &pid, sizeof pid, 0) != static_cast<ssize_t>(sizeof pid)) return false;
  return pid != 0 && !ProcessIsAlive(pid);
}

}  // namespace

std::unique_ptr<PidSection> PidSection::Open(const std::string& name) {
  std::string shm = ShmName(name);
  int fd = shm_open(shm.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (IsStale(fd)) {
    close(fd);
    return nullptr;
  }
  return Map(shm, fd, PROT_READ, false);
}

std::unique_ptr<PidSection> PidSection::Create(const std::string& name, bool* already_existed) {
  std::string shm = ShmName(name);
  if (already_existed) *already_existed = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (ftruncate(fd, sizeof(uint32_t)) != 0) {
        close(fd);
        shm_unlink(shm.c_str());
        return nullptr;
      }
      return Map(shm, fd, PROT_READ | PROT_WRITE, true);
    }
    if (errno != EEXIST) return nullptr;
    int old = shm_open(shm.c_str(), O_RDONLY | O_CLOEXEC, 0);
    bool stale = old >= 0 && IsStale(old);
    if (old >= 0) close(old);
    if (!stale) {
      if (already_existed) *already_existed = true;
      int rd = shm_open(shm.c_str(), O_RDONLY | O_CLOEXEC, 0);
      if (rd < 0) return nullptr;
      return Map(shm, rd, PROT_READ, false);
    }
    shm_unlink(shm.c_str());  // left behind by a process that died
  }
  return nullptr;
}

}  // namespace platform
