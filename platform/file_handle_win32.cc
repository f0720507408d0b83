#include <windows.h>

#include "platform/file_handle.h"

namespace platform {
namespace {

class WinFileHandle : public FileHandle {
 public:
  explicit WinFileHandle(HANDLE h) : h_(h) {}
  ~WinFileHandle() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  bool Read(void* dest, int32_t n, int32_t* got) override {
    *got = 0;
    if (h_ == INVALID_HANDLE_VALUE || n < 0) return false;
    DWORD r = 0;
    BOOL ok = ReadFile(h_, dest, static_cast<DWORD>(n), &r, nullptr);
    *got = static_cast<int32_t>(r);
    return ok != 0;
  }
  bool Write(const void* src, int32_t n, int32_t* written) override {
    *written = 0;
    if (h_ == INVALID_HANDLE_VALUE || n < 0) return false;
    DWORD w = 0;
    BOOL ok = WriteFile(h_, src, static_cast<DWORD>(n), &w, nullptr);
    *written = static_cast<int32_t>(w);
    return ok != 0 && w == static_cast<DWORD>(n);
  }
  bool SeekTo(int64_t offset) override {
    LARGE_INTEGER li;
    li.QuadPart = offset;
    return h_ != INVALID_HANDLE_VALUE && offset >= 0 && SetFilePointerEx(h_, li, nullptr, FILE_BEGIN) != 0;
  }
  int64_t SeekToEnd() override {
    LARGE_INTEGER zero, out;
    zero.QuadPart = 0;
    if (h_ == INVALID_HANDLE_VALUE || !SetFilePointerEx(h_, zero, &out, FILE_END)) return -1;
    return out.QuadPart;
  }
  int64_t Tell() override {
    LARGE_INTEGER zero, out;
    zero.QuadPart = 0;
    if (h_ == INVALID_HANDLE_VALUE || !SetFilePointerEx(h_, zero, &out, FILE_CURRENT)) return -1;
    return out.QuadPart;
  }
  int64_t Size() override {
    LARGE_INTEGER size;
    if (h_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(h_, &size)) return -1;
    return size.QuadPart;
  }
  bool Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return false;
    BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok != 0;
  }

 private:
  HANDLE h_;
};

void Translate(const FileOpenOptions& o, DWORD* access, DWORD* share, DWORD* creation) {
  *share = (o.share_read ? FILE_SHARE_READ : 0) | (o.share_write ? FILE_SHARE_WRITE : 0);
  *access = GENERIC_READ;
  *creation = OPEN_EXISTING;
  switch (o.disposition) {
    case FileDisposition::kReadExisting:
      *access = GENERIC_READ;
      *creation = OPEN_EXISTING;
      break;
    case FileDisposition::kCreateNew:
      *access = GENERIC_WRITE;
      *creation = CREATE_NEW;
      break;
    case FileDisposition::kCreateAlways:
      *access = GENERIC_WRITE;
      *creation = CREATE_ALWAYS;
      break;
    case FileDisposition::kOpenAlways:
      *access = GENERIC_WRITE;
      *creation = OPEN_ALWAYS;
      break;
  }
}

std::unique_ptr<FileHandle> OpenNarrow(const std::string& name, const FileOpenOptions& o) {
  DWORD access, share, creation;
  Translate(o, &access, &share, &creation);
  HANDLE h = CreateFileA(name.c_str(), access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WinFileHandle>(h);
}

std::unique_ptr<FileHandle> OpenWide(const std::wstring& name, const FileOpenOptions& o) {
  DWORD access, share, creation;
  Translate(o, &access, &share, &creation);
  HANDLE h = CreateFileW(name.c_str(), access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WinFileHandle>(h);
}

}  // namespace

const FileHandleOpeners& RealFileHandleOpeners() {
  static const FileHandleOpeners openers = {OpenNarrow, OpenWide};
  return openers;
}

}  // namespace platform
