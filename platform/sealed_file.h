// A program file held unchangeable from the moment its content is checked
// until a process has been started from it, so that the program that runs is
// byte for byte the one that was checked.
//
//   auto held = platform::SealedFile::Seal(path);
//   ... hash held->ReadPath() ...            // the held content
//   auto p = held->Start(command_line);      // runs exactly that content
//
// Windows: the file itself is opened for reading with FILE_SHARE_READ only,
// and that handle stays open until the process has been created. While it is
// open nobody can open the file for writing or for deleting (so it cannot be
// changed, truncated, renamed or replaced under its name); once the process
// is created the system's own image mapping keeps writers out. ReadPath() is
// the file's own name.
//
// Linux: nothing locks a file against other writers (advisory locks are
// ignored by them, taking away write permission can be undone by the owner,
// and a writer that opened the file earlier keeps writing). So Seal copies the
// file into an anonymous memory file (memfd) and seals it against every
// write, growth and shrinking (F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK,
// then F_SEAL_SEAL). From then on the content cannot change by any name or
// descriptor: the seals are properties of the file itself. ReadPath() is
// /proc/self/fd/N of that memory file, so the digests are computed over the
// sealed bytes, and Start executes the same memory file (the command line's
// first field, what the program sees as its name, stays as given). Whatever
// happens to the downloaded file after Seal does not matter. The cost is
// memory for one copy of the package while it is held (swappable shared
// memory), and one extra read of the file.
#ifndef PLATFORM_SEALED_FILE_H_
#define PLATFORM_SEALED_FILE_H_

#include <memory>
#include <string>

#include "platform/process.h"

namespace platform {

class SealedFile {
 public:
  // Holds the file at `path`. Null when it cannot be held (missing, not
  // readable, locked by a writer, out of memory); *error says why.
  static std::unique_ptr<SealedFile> Seal(const std::string& path, std::string* error);

  virtual ~SealedFile() = default;

  // A name through which the held content is read (by this process).
  virtual const std::string& ReadPath() const = 0;

  // Starts the held program with `command_line` (whose first field is the
  // program's name as it sees it; see StartProcess) in `working_dir`. The
  // hold is released once the process exists (Windows) or stays as it is
  // (Linux); either way the object may be destroyed afterwards. Null when the
  // process could not be started. At most one call.
  virtual std::unique_ptr<Process> Start(const std::string& command_line,
                                         const std::string& working_dir = std::string()) = 0;
};

}  // namespace platform

#endif  // PLATFORM_SEALED_FILE_H_
