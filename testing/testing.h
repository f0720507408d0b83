// Test helpers shared by every module's tests.
#ifndef TESTING_TESTING_H_
#define TESTING_TESTING_H_

#include <cstddef>
#include <functional>
#include <string>

namespace testkit {

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes away. Path() ends with a separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Removes a directory tree. Best effort.
void RemoveTree(const std::string& path);

// Makes `link` a symbolic link to `target`, a directory's when `directory`
// (trailing separators of either are ignored). False where the system, or
// the emulator, makes none.
bool MakeLink(const std::string& target, const std::string& link, bool directory);
// Makes `link` a symbolic link of the host system to the file `target`: the
// same as MakeLink natively; under Wine a link of the system beneath, which
// Wine follows without telling (no reparse point), made by the host's ln.
// False where neither can be made.
bool MakeHostLink(const std::string& target, const std::string& link);

// Directory of the built programs (where the test executable itself lies),
// with a trailing separator.
std::string BinDir();

// A built program or library by its base name, with the platform's suffix:
// BuiltProgram("Quillfen") is bin/Quillfen or bin/Quillfen.exe.
std::string BuiltProgram(const std::string& name);
std::string BuiltLibrary(const std::string& name);

// A name unique to this test process, for named kernel objects.
std::string UniqueName(const std::string& stem);

// `path` written with '/' turned into this system's separator.
std::string NativePath(std::string path);

// The whole file at `path`; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// `n` bytes that differ from one position to the next, the same for the same
// `n` in every run.
std::string Pattern(size_t n);

// Runs `work` on a thread of its own and tells whether it returned within
// `ms`. The thread is joined before returning either way, so `work` must end
// by itself at some point.
bool EndsWithin(int ms, std::function<void()> work);

// Lets every user read the file or directory at `path`, and with `write`
// also change it: the group and other permission bits, or on Windows an
// entry for Everyone added to its access list. For tests of what a program
// makes of files that are not its user's alone.
bool OpenToOthers(const std::string& path, bool write);

}  // namespace testkit

#endif  // TESTING_TESTING_H_
