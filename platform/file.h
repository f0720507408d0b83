// Files: open files read and written at a position, and the operations on
// names (directories, deleting, copying, renaming, attributes, sizes, times).
//
//   Status error;
//   std::unique_ptr<File> f = OpenFile(path, options, &error);
//   while (f->Read(buf, sizeof buf, &got) == Status::kOk && got > 0) ...
//
// Failures of open files are reported as a Status (status.h), never by
// exception. kRetryable is the environment failing a sound request: the disk
// is full, the device reports an error, the file is missing or vanished,
// access is denied, another program holds it locked. A caller may retry it
// later, or report it to the player as a disk problem; the status's text is
// what the system said. kBadCall is a request that can never succeed as made:
// a negative position or length, a closed file, an invalid handle or name.
// Retrying it is pointless. The operations on names stay booleans: there the
// caller only ever asks "did it work".
//
// Every system call goes through one table of function pointers, FileCalls(),
// which starts out holding the real backend (RealFileCalls()). A test replaces
// single entries to make the disk fail - "the third write fails", "reads of
// this file fail" - and ScopedFileCallsOverride puts the table back. Only
// tests replace entries: before they start the threads that use files, and
// back after those threads have ended. A replaced entry may be called from
// any thread.
//
// Names come narrow (the system's ANSI code page; UTF-8 on Linux) or wide
// (UTF-16 on Windows; on Linux converted to UTF-8), see FileName.
//
// A File is used by one thread at a time; several Files may be open on the
// same file at once (the downloader's ranges), each with its own position.
#ifndef PLATFORM_FILE_H_
#define PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace platform {


// A name as the caller holds it, narrow or wide; the backend hands it to the
// system in the same form.
class FileName {
 public:
  FileName(const char* name) : narrow_(name ? name : "") {}
  FileName(std::string name) : narrow_(std::move(name)) {}
  FileName(const wchar_t* name) : wide_(name ? name : L""), is_wide_(true) {}
  FileName(std::wstring name) : wide_(std::move(name)), is_wide_(true) {}

  bool is_wide() const { return is_wide_; }
  const std::string& narrow() const { return narrow_; }  // empty when is_wide()
  const std::wstring& wide() const { return wide_; }     // empty unless is_wide()
  // The name in narrow form, converting a wide one.
  std::string ToNarrow() const;

 private:
  std::string narrow_;
  std::wstring wide_;
  bool is_wide_ = false;
};

// What to do with the file at the name.
enum class FileDisposition {
  kReadExisting,  // read only; fails when the file does not exist
  kCreateNew,     // write; fails when the file exists
  kCreateAlways,  // write; creates or truncates
  kOpenAlways,    // write; opens or creates, keeping the contents
  kReadWrite,     // read and write; opens or creates, keeping the contents
};

struct FileOpenOptions {
  FileDisposition disposition = FileDisposition::kReadExisting;
  // Others may open the file for reading, writing or deleting meanwhile.
  // Nothing is locked on Linux, so these matter only on Windows.
  bool share_read = false;
  bool share_write = false;
  bool share_delete = false;
};

struct DirEntry {
  std::string name;  // name only, without the directory
  bool is_directory;
};

struct WideDirEntry {
  std::wstring name;
  bool is_directory;
};

// The system's handle of an open file: a descriptor, or a Windows HANDLE.
using NativeFile = intptr_t;

// The system calls. On open files, at an absolute offset: read delivers fewer
// bytes than asked only where the file ends; write puts all bytes on the disk
// or fails, with *written counting those that did reach it. File makes one
// call of the table per Read and Write, so a test counts them one for one.
struct FileSystemCalls {
  // Open files.
  Status (*open)(const FileName& name, const FileOpenOptions& options, NativeFile* out);
  Status (*read)(NativeFile file, int64_t offset, void* dest, size_t n, size_t* got);
  Status (*write)(NativeFile file, int64_t offset, const void* src, size_t n, size_t* written);
  Status (*flush)(NativeFile file);  // what was written reaches the disk
  Status (*set_length)(NativeFile file, int64_t length);
  Status (*size)(NativeFile file, int64_t* size);
  Status (*close)(NativeFile file);

  // Names.
  bool (*exists)(const FileName& path);  // a file or a directory
  bool (*is_directory)(const FileName& path);  // also through a link
  bool (*make_directory)(const FileName& path);    // one level; false when it exists
  bool (*remove_directory)(const FileName& path);  // only an empty one
  bool (*delete_file)(const FileName& path);
  bool (*copy_file)(const FileName& from, const FileName& to);  // overwrites
  bool (*move_file)(const FileName& from, const FileName& to);  // replaces the target
  // Entries with narrow names, "." and ".." included where the system lists them.
  bool (*list_directory)(const FileName& path, std::vector<DirEntry>* out);
  // Entries with wide names, without "." and "..".
  bool (*list_directory_wide)(const FileName& path, std::vector<WideDirEntry>* out);
  int (*read_only_state)(const FileName& path);  // 1 read-only, 0 writable, -1 unreadable
  bool (*set_read_only)(const FileName& path, bool read_only);  // or back to normal
  int64_t (*file_size)(const FileName& path);                   // bytes, or -1
  // Grants the owner permission to run the file (no-op where files carry none).
  bool (*make_executable)(const FileName& path);
  int64_t (*modified_time)(const FileName& path);  // seconds since 1970, or -1
  // Ends with a separator; empty on failure.
  FileName (*working_directory)(bool wide);
  bool (*change_working_directory)(const FileName& path);
  // "C:\\", "D:\\" ... on Windows, "/" on Linux.
  std::vector<std::wstring> (*drive_roots)();
};

// The table in force: the current env's (env.h). Tests may assign single
// entries.
FileSystemCalls& FileCalls();
// The real backend, for restoring or delegating.
const FileSystemCalls& RealFileCalls();

// Replaces one or more entries of FileCalls() for the lifetime of the object.
class ScopedFileCallsOverride {
 public:
  ScopedFileCallsOverride() : saved_(FileCalls()) {}
  ~ScopedFileCallsOverride() { FileCalls() = saved_; }
  ScopedFileCallsOverride(const ScopedFileCallsOverride&) = delete;
  ScopedFileCallsOverride& operator=(const ScopedFileCallsOverride&) = delete;

 private:
  FileSystemCalls saved_;
};

// An open file with its own position. Closed by the destructor when still
// open (a failure there goes unreported: call Close to learn it).
class File {
 public:
  explicit File(NativeFile native) : native_(native) {}
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool IsOpen() const { return open_; }
  // Reads `n` bytes at the position, fewer only where the file ends. *got
  // counts the bytes read, also on failure; the position moves past them.
  Status Read(void* dest, size_t n, size_t* got);
  // Writes all `n` bytes at the position, or fails; *written (optional)
  // counts the bytes that did reach the file, and the position moves past them.
  Status Write(const void* src, size_t n, size_t* written = nullptr);
  // Moves the position, which may lie past the end. kBadCall when negative.
  Status SeekTo(int64_t position);
  // Moves the position to the end; *end (optional) is the new position.
  Status SeekToEnd(int64_t* end = nullptr);
  int64_t Tell() const { return position_; }
  Status Size(int64_t* size);
  // Makes the file exactly `length` bytes long (new bytes read as zero); the
  // position stays.
  Status SetLength(int64_t length);
  Status Flush();
  // kBadCall when already closed.
  Status Close();

 private:
  Status Check() const { return open_ ? Status::kOk : Status::kBadCall; }

  NativeFile native_;
  int64_t position_ = 0;
  bool open_ = true;
};

// Null when the file cannot be opened; *error (optional) tells why, and
// LastError() (process.h) what the system said.
std::unique_ptr<File> OpenFile(const FileName& name, const FileOpenOptions& options, Status* error = nullptr);

inline bool Exists(const FileName& p) { return FileCalls().exists(p); }
inline bool IsDirectory(const FileName& p) { return FileCalls().is_directory(p); }
inline bool MakeDirectory(const FileName& p) { return FileCalls().make_directory(p); }
inline bool RemoveEmptyDirectory(const FileName& p) { return FileCalls().remove_directory(p); }
inline bool RemoveFile(const FileName& p) { return FileCalls().delete_file(p); }
inline bool CopyFileOver(const FileName& a, const FileName& b) { return FileCalls().copy_file(a, b); }
inline bool RenameFile(const FileName& a, const FileName& b) { return FileCalls().move_file(a, b); }
inline bool ListDirectory(const FileName& p, std::vector<DirEntry>* out) {
  return FileCalls().list_directory(p, out);
}
inline bool ListDirectory(const FileName& p, std::vector<WideDirEntry>* out) {
  return FileCalls().list_directory_wide(p, out);
}
inline int ReadOnlyState(const FileName& p) { return FileCalls().read_only_state(p); }
inline bool IsReadOnly(const FileName& p) { return ReadOnlyState(p) == 1; }
inline bool SetReadOnly(const FileName& p, bool ro) { return FileCalls().set_read_only(p, ro); }
inline int64_t FileSize(const FileName& p) { return FileCalls().file_size(p); }
inline bool MakeExecutable(const FileName& p) { return FileCalls().make_executable(p); }
inline int64_t ModifiedTime(const FileName& p) { return FileCalls().modified_time(p); }
inline std::string WorkingDirectory() { return FileCalls().working_directory(false).narrow(); }
inline std::wstring WideWorkingDirectory() { return FileCalls().working_directory(true).wide(); }
inline bool ChangeWorkingDirectory(const FileName& p) { return FileCalls().change_working_directory(p); }
inline std::vector<std::wstring> DriveRoots() { return FileCalls().drive_roots(); }
// The name itself is a link to elsewhere: a symbolic link, or on Windows any
// reparse point (junctions too). The link is not followed. Asked of the
// system directly, not through the table.
bool IsLink(const FileName& p);

// The absolute name of `p` with every link (and on Windows every junction)
// along it resolved, as the system names the file: the name to compare with
// another's to learn whether one lies inside the other. False when `p`, or
// what a link along it leads to, does not exist or cannot be asked about.
// Asked of the system directly, not through the table.
bool RealPath(const FileName& p, std::string* out);

// Deletes every file below `dir`, descending into subdirectories; directories
// themselves stay. Links are never followed: a link below `dir` (to a file or
// a directory, a junction on Windows) is removed as a link, and a `dir` that
// is itself a link is left alone. A missing directory is nothing to do;
// failures are ignored.
void DeleteFilesRecursively(const std::string& dir);

// Creates every missing directory level of `path`.
bool MakeDirectories(const std::string& path);

// The end of a line in a text file: what a C runtime writes for '\n' in text
// mode ("\r\n" on Windows, "\n" on Linux).
extern const char kTextLineEnd[];

// Whole-file helpers.
bool ReadFileToString(const FileName& path, std::string* out);
bool WriteStringToFile(const FileName& path, const std::string& data);

// Replaces the file at `path` with `data` so that a failure at any point
// leaves the old file as it was: the bytes go to `path` + ".tmp" first, are
// flushed to the disk, and that file then replaces `path`. On failure the
// temporary is removed and the error returned. A temporary left by a crash is
// overwritten by the next call and never read.
Status ReplaceFileContents(const std::string& path, const std::string& data);

// The same through the temporary `temp`, which must lie in the directory of
// `path` (a rename does not cross file systems).
Status ReplaceFileVia(const std::string& temp, const std::string& path, const std::string& data);

// Replaces the file at `path` with `data` for a file others read while it is
// replaced (a served tree) and that more than one process may write: as
// ReplaceFileContents, but the temporary is "." + name + ".tmp-" + process id
// in the same directory, a name no reader is ever pointed at and no other
// writer uses. A reader opening `path` meanwhile gets the old file whole or
// the new one whole, never a part (the rename replaces the name in one step;
// on Windows with MoveFileEx and MOVEFILE_REPLACE_EXISTING).
Status ReplaceFileThroughTemporary(const std::string& path, const std::string& data);

// The temporary ReplaceFileThroughTemporary writes for `path` in this process.
std::string TemporaryNameFor(const std::string& path);

}  // namespace platform

#endif  // PLATFORM_FILE_H_
