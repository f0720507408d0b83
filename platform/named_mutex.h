// A mutex shared between processes by name, with Windows semantics: creating
// it asks for initial ownership, which is granted only when nobody else holds
// it; the owner keeps it until it releases it or its process ends.
#ifndef PLATFORM_NAMED_MUTEX_H_
#define PLATFORM_NAMED_MUTEX_H_

#include <memory>
#include <string>

namespace platform {

class NamedMutex {
 public:
  virtual ~NamedMutex() = default;  // closes the handle (releasing ownership)

  // Creates or opens the mutex `name`. `already_existed` tells whether another
  // handle held it; only when it is false does the caller own the mutex.
  // Returns null when no handle results.
  static std::unique_ptr<NamedMutex> Create(const std::string& name, bool* already_existed);

  // Blocks until this handle owns the mutex: the holder released it or its
  // process ended. Returns the wait's result code (0 owned, 128 abandoned,
  // 0xFFFFFFFF failed).
  virtual unsigned Wait() = 0;

  // Gives ownership up.
  virtual void Release() = 0;
};

}  // namespace platform

#endif  // PLATFORM_NAMED_MUTEX_H_
