// The resource library: a shared library that holds the window's dialog
// template, bitmaps and strings.
#ifndef PLATFORM_RESOURCES_H_
#define PLATFORM_RESOURCES_H_

#include <memory>
#include <string>

#include "platform/shared_library.h"

namespace platform {

// Resource types, numbered as Windows numbers them.
enum ResourceType { kResourceBitmap = 2, kResourceDialog = 5, kResourceString = 6, kResourceIcon = 3 };

// Name of the exported lookup function of a resource library on platforms
// without native resources: const void* fn(int type, int id, size_t* size).
// Strings are returned as NUL-terminated narrow text.
extern const char kResourceLookupSymbol[];
using ResourceLookupFn = const void* (*)(int type, int id, size_t* size);

class ResourceLibrary {
 public:
  // Loads the library by name (Windows search order; see SharedLibrary::Load).
  static std::unique_ptr<ResourceLibrary> Load(const std::string& name);
  ~ResourceLibrary();

  // String `id` from the string table; empty when there is none.
  std::string LoadResourceString(int id) const;
  // Raw bytes of resource (type, id): a bitmap as a BMP file without its file
  // header, a dialog template; false when absent.
  bool LoadRaw(int type, int id, std::string* out) const;
  void* Handle() const { return library_->Handle(); }

 private:
  explicit ResourceLibrary(std::unique_ptr<SharedLibrary> lib) : library_(std::move(lib)) {}
  std::unique_ptr<SharedLibrary> library_;
};

}  // namespace platform

#endif  // PLATFORM_RESOURCES_H_
