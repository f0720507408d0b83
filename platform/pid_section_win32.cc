#include <windows.h>

#include "platform/pid_section.h"

namespace platform {
namespace {

class WinSection : public PidSection {
 public:
  WinSection(HANDLE h, void* view) : handle_(h), view_(static_cast<volatile DWORD*>(view)) {}
  ~WinSection() override {
    if (view_) UnmapViewOfFile(const_cast<DWORD*>(view_));
    CloseHandle(handle_);
  }
  uint32_t ReadPid() const override { return view_ ? *view_ : 0; }
  void WritePid(uint32_t pid) override {
    if (view_) *view_ = pid;
  }

 private:
  HANDLE handle_;
  volatile DWORD* view_;
};

}  // namespace

std::unique_ptr<PidSection> PidSection::Open(const std::string& name) {
  HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  if (!h) return nullptr;
  void* view = MapViewOfFile(h, FILE_MAP_READ, 0, 0, sizeof(DWORD));
  if (!view) {
    CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<WinSection>(h, view);
}

std::unique_ptr<PidSection> PidSection::Create(const std::string& name, bool* already_existed) {
  HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD), name.c_str());
  if (!h) return nullptr;
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (already_existed) *already_existed = existed;
  void* view = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, sizeof(DWORD));
  return std::make_unique<WinSection>(h, view);
}

}  // namespace platform
