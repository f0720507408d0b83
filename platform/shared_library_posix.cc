#include <dlfcn.h>

#include "platform/path.h"
#include "platform/shared_library.h"

namespace platform {
namespace {

class DlLibrary : public SharedLibrary {
 public:
  explicit DlLibrary(void* h) : handle_(h) {}
  ~DlLibrary() override { dlclose(handle_); }
  void* Symbol(const std::string& name) const override { return dlsym(handle_, name.c_str()); }
  void* Handle() const override { return handle_; }

 private:
  void* handle_;
};

}  // namespace

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& path) {
  void* h = nullptr;
  if (path.find('/') == std::string::npos) {
    std::string beside = ExecutableDir() + path;
    h = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!h) h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return nullptr;
  return std::make_unique<DlLibrary>(h);
}

}  // namespace platform
