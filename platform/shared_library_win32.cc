#include <windows.h>

#include "platform/shared_library.h"

namespace platform {
namespace {

class WinLibrary : public SharedLibrary {
 public:
  explicit WinLibrary(HMODULE h) : handle_(h) {}
  ~WinLibrary() override { FreeLibrary(handle_); }
  void* Symbol(const std::string& name) const override {
    return reinterpret_cast<void*>(GetProcAddress(handle_, name.c_str()));
  }
  void* Handle() const override { return handle_; }

 private:
  HMODULE handle_;
};

}  // namespace

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& path) {
  UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE h = LoadLibraryA(path.c_str());
  SetErrorMode(old);
  if (!h) return nullptr;
  return std::make_unique<WinLibrary>(h);
}

}  // namespace platform
