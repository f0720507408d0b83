// Paths of the running program and the platform's naming conventions.
#ifndef PLATFORM_PATH_H_
#define PLATFORM_PATH_H_

#include <string>

namespace platform {

// The directory separator of this platform: '\\' on Windows, '/' elsewhere.
extern const char kPathSep;
// Suffix of an executable file name: ".exe" on Windows, "" elsewhere.
extern const char* const kExeSuffix;
// Suffix of a shared library file name: ".dll" on Windows, ".so" elsewhere.
extern const char* const kLibSuffix;

// Full path of the running executable, as the env in force (env.h) says.
std::string ExecutablePath();
// A name from which the running program's own file can be read, valid even
// when the program was started from an unnamed or sealed file (Linux:
// /proc/self/exe; Windows: the executable's path). Always the real file.
std::string ExecutableImagePath();
// Directory of the running executable, with a trailing separator.
std::string ExecutableDir();
// Full path of the module (executable or shared library) holding `address`.
std::string ModulePathOf(const void* address);

// Text after the last separator ('/' is accepted on both platforms).
std::string BaseName(const std::string& path);
// Text up to and including the last separator; empty when there is none.
std::string DirName(const std::string& path);
// `dir` joined with `name`, adding a separator only when `dir` lacks one.
std::string JoinPath(const std::string& dir, const std::string& name);

}  // namespace platform

#endif  // PLATFORM_PATH_H_
