#include <windows.h>

#include "platform/named_mutex.h"

namespace platform {
namespace {

class WinMutex : public NamedMutex {
 public:
  WinMutex(HANDLE h, bool owned) : handle_(h), owned_(owned) {}
  ~WinMutex() override { CloseHandle(handle_); }
  unsigned Wait() override {
    DWORD r = WaitForSingleObject(handle_, INFINITE);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) owned_ = true;
    return r;
  }
  void Release() override {
    if (owned_) ReleaseMutex(handle_);
    owned_ = false;
  }

 private:
  HANDLE handle_;
  bool owned_;
};

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, bool* already_existed) {
  HANDLE h = CreateMutexA(nullptr, TRUE, name.c_str());
  if (!h) return nullptr;
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (already_existed) *already_existed = existed;
  return std::make_unique<WinMutex>(h, !existed);
}

}  // namespace platform
