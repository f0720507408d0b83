// Named mutexes as flock()ed files in a per-user runtime directory. A lock
// held by a process disappears with it, as a Windows mutex is abandoned.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/named_mutex.h"
#include "platform/runtime_dir.h"

namespace platform {
namespace {

class FlockMutex : public NamedMutex {
 public:
  FlockMutex(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~FlockMutex() override { close(fd_); }

  unsigned Wait() override {
    if (owned_) return 0;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) return 0xFFFFFFFFu;
    }
    owned_ = true;
    return 0;
  }

  void Release() override {
    if (owned_) flock(fd_, LOCK_UN);
    owned_ = false;
  }

 private:
  int fd_;
  bool owned_;
};

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, bool* already_existed) {
  std::string path = RuntimeObjectPath(name, ".lock");
  if (path.empty()) return nullptr;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  bool owned = flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (already_existed) *already_existed = !owned;
  return std::make_unique<FlockMutex>(fd, owned);
}

}  // namespace platform
