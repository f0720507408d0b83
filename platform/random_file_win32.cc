#include <windows.h>

#include "platform/random_file.h"

namespace platform {
namespace {

class WinRandomFile : public RandomFile {
 public:
  explicit WinRandomFile(HANDLE h) : handle_(h) {}
  ~WinRandomFile() override { CloseHandle(handle_); }

  bool Seek(uint64_t position) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) return false;
    position_ = position;
    return true;
  }
  uint64_t Position() const override { return position_; }

  int64_t Length() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size)) return -1;
    return size.QuadPart;
  }

  bool SetLength(uint64_t length) override {
    uint64_t keep = position_;
    if (!Seek(length) || !SetEndOfFile(handle_)) return false;
    return Seek(keep);
  }

  bool Write(const void* data, size_t n) override {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
      DWORD written = 0;
      if (!::WriteFile(handle_, p, chunk, &written, nullptr) || written == 0) return false;
      p += written;
      n -= written;
      position_ += written;
    }
    return true;
  }

  int64_t Read(void* data, size_t n) override {
    DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    DWORD got = 0;
    if (!::ReadFile(handle_, data, chunk, &got, nullptr)) return -1;
    position_ += got;
    return got;
  }

  bool Flush() override { return FlushFileBuffers(handle_) != 0; }

 private:
  HANDLE handle_;
  uint64_t position_ = 0;
};

}  // namespace

std::unique_ptr<RandomFile> RandomFile::Open(const std::string& path, Share share) {
  DWORD mode = share == Share::kReadWrite ? (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) : 0;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, mode, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WinRandomFile>(h);
}

}  // namespace platform
