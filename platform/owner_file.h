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

// True when no other user may open the file, the check a private key must
// pass before it is used (as ssh makes of its keys). POSIX: no group or other
// permission bit. Windows: every entry of its access list that allows access
// names the current user, the system account (S-1-5-18) or the
// administrators (S-1-5-32-544), who may take any file anyway; a file without
// an access list is open to everyone. False, with *why saying what lets
// others in ("mode 0644", "the access list allows Everyone (S-1-1-0)") or
// that the file cannot be examined.
bool IsPrivateFile(const std::string& path, std::string* why);
// The command a person runs to make the file at `path` private, for the
// message that refuses it ("chmod 600 <path>"; on Windows an icacls line).
std::string MakePrivateCommand(const std::string& path);

// True when the file (or, with `directory`, the directory) at `path` is one
// this user's program can take to be as it left it: the kind asked for, not a
// link or junction (never followed); owned by the current user or by the
// system (root; SYSTEM or the administrators on Windows); and no other user
// may change it. POSIX: no group or other write bit. Windows: no entry of its
// own access list lets anyone else write, delete, or change its access list
// or owner (entries it inherits from its folder aside: they come with the
// folder and hold for every file in it alike). False with *why ("owned by
// user 1001", "mode 0666 lets others change it").
bool IsOwnUnchanged(const std::string& path, bool directory, std::string* why);

// Makes the directory `path` (one level) that others may not change (POSIX:
// mode 0755 less the umask, never a write bit for others), so that
// IsOwnUnchanged holds for it.
// False when anything exists at the path already, or it cannot be made.
bool MakeOwnUnchangedDirectory(const std::string& path);

// Whether the file system at `dir` keeps an owner-only protection exactly as
// it is written: a probe file is made there, given the protection afterwards
// by the system's own call (POSIX chmod 0600; Windows SetFileSecurity with a
// protected list granting the current user alone), read back and removed.
// Some systems keep only an approximation: Wine maps an access list to mode
// bits and reads back a list with a SYSTEM entry added (and the group's bits
// on disk set). There the checks above cannot hold for any file, and *why
// says what was written and what came back. For tests, which tell such a
// system from a fault of CreateOwnerOnlyFile with it.
bool KeepsOwnerOnlyProtection(const std::string& dir, std::string* why);

// Lets every other user read the file or directory at `path` (and, with
// `write`, change it): what a careless install or a hostile user leaves, for
// tests of the checks above. POSIX: the group and other bits; Windows: an
// entry for Everyone added to its access list.
bool GrantOthersAccess(const std::string& path, bool write);

}  // namespace platform

#endif  // PLATFORM_OWNER_FILE_H_
