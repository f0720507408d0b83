#include "platform/resources.h"

namespace platform {

const char kResourceLookupSymbol[] = "QuillfenResource";

std::unique_ptr<ResourceLibrary> ResourceLibrary::Load(const std::string& name) {
  std::unique_ptr<SharedLibrary> lib = SharedLibrary::Load(name);
  if (!lib || !lib->Symbol(kResourceLookupSymbol)) return nullptr;
  return std::unique_ptr<ResourceLibrary>(new ResourceLibrary(std::move(lib)));
}

ResourceLibrary::~ResourceLibrary() = default;

bool ResourceLibrary::LoadRaw(int type, int id, std::string* out) const {
  auto fn = reinterpret_cast<ResourceLookupFn>(library_->Symbol(kResourceLookupSymbol));
  size_t size = 0;
  const void* p = fn ? fn(type, id, &size) : nullptr;
  if (!p) return false;
  out->assign(static_cast<const char*>(p), size);
  return true;
}

std::string ResourceLibrary::LoadResourceString(int id) const {
  std::string s;
  if (!LoadRaw(kResourceString, id, &s)) return std::string();
  size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

}  // namespace platform
