// Where POSIX backends keep the files behind named kernel objects.
#ifndef PLATFORM_RUNTIME_DIR_H_
#define PLATFORM_RUNTIME_DIR_H_

#include <string>

namespace platform {

// A file path for the named object `name` (any characters; those that are not
// safe in a file name are replaced), in a directory private to this user.
// Empty when the directory cannot be made.
std::string RuntimeObjectPath(const std::string& name, const std::string& suffix);

}  // namespace platform

#endif  // PLATFORM_RUNTIME_DIR_H_
