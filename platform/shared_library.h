// Shared libraries loaded at run time.
#ifndef PLATFORM_SHARED_LIBRARY_H_
#define PLATFORM_SHARED_LIBRARY_H_

#include <memory>
#include <string>

namespace platform {

class SharedLibrary {
 public:
  virtual ~SharedLibrary() = default;  // unloads

  // Loads by path. A bare name (no directory) is looked for first beside the
  // running executable, then in the system's search order, as Windows does.
  // Null when it cannot be loaded.
  static std::unique_ptr<SharedLibrary> Load(const std::string& path);

  // Address of an exported symbol, or null.
  virtual void* Symbol(const std::string& name) const = 0;
  // The native handle (a module handle on Windows).
  virtual void* Handle() const = 0;
};

}  // namespace platform

#endif  // PLATFORM_SHARED_LIBRARY_H_
