// Files and directories.
//
// Every operation goes through a table of function pointers, `Files()`, so a
// test can replace one operation to inject a fault and restore it afterwards
// (see ScopedFileOverride). The table starts out holding the real backend.
#ifndef PLATFORM_FILE_H_
#define PLATFORM_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct DirEntry {
  std::string name;  // name only, without the directory
  bool is_directory;
};

struct FileOps {
  // True when anything (file or directory) exists at the path.
  bool (*exists)(const std::string& path);
  bool (*is_directory)(const std::string& path);
  // Creates one directory level; false when it exists already or fails.
  bool (*make_directory)(const std::string& path);
  // Removes a directory; succeeds only when it is empty.
  bool (*remove_directory)(const std::string& path);
  bool (*delete_file)(const std::string& path);
  // Copies a file, overwriting the target.
  bool (*copy_file)(const std::string& from, const std::string& to);
  // Renames, replacing an existing target.
  bool (*move_file)(const std::string& from, const std::string& to);
  // Entries of a directory, "." and ".." included where the system lists them.
  bool (*list_directory)(const std::string& path, std::vector<DirEntry>* out);
  bool (*is_read_only)(const std::string& path);
  // Sets the attributes to read-only, or back to normal.
  bool (*set_read_only)(const std::string& path, bool read_only);
  // Size in bytes, or -1.
  int64_t (*file_size)(const std::string& path);
  // Grants the owner permission to run the file (no-op where files carry none).
  bool (*make_executable)(const std::string& path);
};

// The table in force. Tests may assign single entries.
FileOps& Files();
// The real backend, for restoring or delegating.
const FileOps& RealFiles();

inline bool Exists(const std::string& p) { return Files().exists(p); }
inline bool IsDirectory(const std::string& p) { return Files().is_directory(p); }
inline bool MakeDirectory(const std::string& p) { return Files().make_directory(p); }
inline bool RemoveEmptyDirectory(const std::string& p) { return Files().remove_directory(p); }
inline bool RemoveFile(const std::string& p) { return Files().delete_file(p); }
inline bool CopyFileOver(const std::string& a, const std::string& b) { return Files().copy_file(a, b); }
inline bool RenameFile(const std::string& a, const std::string& b) { return Files().move_file(a, b); }
inline bool ListDirectory(const std::string& p, std::vector<DirEntry>* out) {
  return Files().list_directory(p, out);
}
inline bool IsReadOnly(const std::string& p) { return Files().is_read_only(p); }
inline bool SetReadOnly(const std::string& p, bool ro) { return Files().set_read_only(p, ro); }
inline int64_t FileSize(const std::string& p) { return Files().file_size(p); }
inline bool MakeExecutable(const std::string& p) { return Files().make_executable(p); }

// Deletes every file below `dir`, descending into subdirectories; directories
// themselves stay. A missing directory is nothing to do; failures are ignored.
void DeleteFilesRecursively(const std::string& dir);

// Creates every missing directory level of `path`.
bool MakeDirectories(const std::string& path);

// Whole-file helpers for tools and tests.
bool ReadFileToString(const std::string& path, std::string* out);
bool WriteStringToFile(const std::string& path, const std::string& data);

// Replaces one or more entries of Files() for the lifetime of the object.
class ScopedFileOverride {
 public:
  ScopedFileOverride() : saved_(Files()) {}
  ~ScopedFileOverride() { Files() = saved_; }
  ScopedFileOverride(const ScopedFileOverride&) = delete;
  ScopedFileOverride& operator=(const ScopedFileOverride&) = delete;

 private:
  FileOps saved_;
};

}  // namespace platform

#endif  // PLATFORM_FILE_H_
