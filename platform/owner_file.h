// Files only their owner may open: for secrets such as a signing key.
#ifndef PLATFORM_OWNER_FILE_H_
#define PLATFORM_OWNER_FILE_H_

#include <string>

namespace platform {

// Creates the file `path` holding `data`, readable and writable by the
// current user alone (POSIX mode 0600; on Windows a protected access list
// granting only the current user). Fails, touching nothing, when anything
// exists at the path already; a file left half-written is removed.
bool CreateOwnerOnlyFile(const std::string& path, const std::string& data);

// True when the file exists and no one but its owner has any access to it
// (POSIX: no group or other permission bits; Windows: every entry of its
// access list names the current user).
bool IsOwnerOnlyFile(const std::string& path);

}  // namespace platform

#endif  // PLATFORM_OWNER_FILE_H_
