// Directories of the current user's own: for the launcher's temp/, from
// which it copies and starts itself. A directory that another user can
// write to, or a link that leads elsewhere, would let that user choose what
// the launcher runs or deletes.
//
//   std::string why;
//   switch (platform::CheckOwnDirectory(dir, &why)) {
//     case platform::OwnDirectory::kMissing: platform::MakeOwnDirectory(dir); ...
//     case platform::OwnDirectory::kRefused: LogError() << dir << " " << why; ...
//   }
#ifndef PLATFORM_OWN_DIRECTORY_H_
#define PLATFORM_OWN_DIRECTORY_H_

#include <string>

namespace platform {

enum class OwnDirectory {
  kOwn,      // a real directory, the current user's, writable by no one else
  kMissing,  // nothing at the path
  kRefused,  // something else: *why says what
};

// Examines `path` (a trailing separator is ignored) without following a link:
// it must be a real directory (POSIX: not a symbolic link; Windows: not a
// reparse point such as a junction or symbolic link), owned by the current
// user, and writable by no other user (POSIX: neither the group's nor the
// others' write bit; Windows: no entry of its access list lets anyone but
// the current user, the directory's owner, SYSTEM or the administrators add,
// delete or change entries, or change its protection). Otherwise kRefused,
// and *why tells what is wrong in words for the player ("is a symbolic
// link", "is writable by others (mode 0777)").
OwnDirectory CheckOwnDirectory(const std::string& path, std::string* why);

// Creates the directory `path` (one level) so that CheckOwnDirectory accepts
// it: POSIX mode 0755; on Windows a protected access list granting full
// access to the current user, SYSTEM and the administrators. False when it
// cannot be made, also when anything exists at the path already.
bool MakeOwnDirectory(const std::string& path);

}  // namespace platform

#endif  // PLATFORM_OWN_DIRECTORY_H_
