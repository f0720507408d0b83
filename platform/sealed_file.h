// A program file held unchangeable from the moment its content is checked
// until the process started from it has ended, so that the program that runs
// is byte for byte the one that was checked, and whatever it reads of its own
// file later is still that content.
//
//   auto held = platform::SealedFile::Seal(path);
//   ... hash held->ReadPath() ...            // the held content
//   auto p = held->Start(command_line);      // runs exactly that content
//   p->Wait();
//   held.reset();                            // only now may the file change
//
// What the hold guarantees, for as long as the object lives:
// - the content read through ReadPath() and the program started by Start are
//   the same bytes, and they do not change;
// - the started program may open its own image by name for reading (as a
//   setup program reads the payload appended to it) and finds those bytes;
// - on Windows, nobody can open the file for writing, delete it or rename it
//  ; on Linux the file's name may change
//   hands, but the held copy, the one that runs, cannot.
// Destroy it only after the process has ended.
//
// Windows: the file itself is opened for reading with FILE_SHARE_READ only,
// and that handle stays open until the object is destroyed. While it is open
// nobody can open the file for writing or for deleting (so it cannot be
// changed, truncated, renamed or replaced under its name). ReadPath() is the
// file's own name.
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
// first field, what the program sees as its name, stays as given). A script
// ("#!") is started the same way: its interpreter opens /proc/<pid>/fd/N of
// this process, which is why the descriptor must stay open until the script
// has ended. Whatever happens to the downloaded file after Seal does not
// matter. The cost is memory for one copy of the package while it is held
// (swappable shared memory), and one extra read of the file.
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
  // hold stays as it is: keep this object until the process has ended. Null
  // when the process could not be started. At most one call.
  virtual std::unique_ptr<Process> Start(const std::string& command_line,
                                         const std::string& working_dir = std::string()) = 0;
};

}  // namespace platform

#endif  // PLATFORM_SEALED_FILE_H_
