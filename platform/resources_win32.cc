#include <windows.h>

#include "platform/resources.h"

namespace platform {

const char kResourceLookupSymbol[] = "QuillfenResource";

std::unique_ptr<ResourceLibrary> ResourceLibrary::Load(const std::string& name) {
  std::unique_ptr<SharedLibrary> lib = SharedLibrary::Load(name);
  if (!lib) return nullptr;
  return std::unique_ptr<ResourceLibrary>(new ResourceLibrary(std::move(lib)));
}

ResourceLibrary::~ResourceLibrary() = default;

std::string ResourceLibrary::LoadResourceString(int id) const {
  char buf[4096];
  int n = LoadStringA(static_cast<HMODULE>(library_->Handle()), static_cast<UINT>(id), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool ResourceLibrary::LoadRaw(int type, int id, std::string* out) const {
  HMODULE m = static_cast<HMODULE>(library_->Handle());
  HRSRC r = FindResourceA(m, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(type));
  if (!r) return false;
  HGLOBAL g = LoadResource(m, r);
  DWORD size = SizeofResource(m, r);
  const void* p = g ? LockResource(g) : nullptr;
  if (!p) return false;
  out->assign(static_cast<const char*>(p), size);
  return true;
}

}  // namespace platform
