// Open files addressed by handle: sequential reads and writes with an explicit
// file pointer, for code that keeps its own buffers (the patch tool's file
// archives).
//
// Names come narrow (the system's ANSI code page; UTF-8 on Linux) or wide
// (UTF-16 on Windows, UTF-32 on Linux). Opening goes through a replaceable
// hook, FileHandleOpeners(), so that a test can hand out handles whose reads or
// writes fail (see ScopedFileHandleOverride).
#ifndef PLATFORM_FILE_HANDLE_H_
#define PLATFORM_FILE_HANDLE_H_

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// What to do with the file at the name.
enum class FileDisposition {
  kReadExisting,   // read only; fails when the file does not exist
  kCreateNew,      // write; fails when the file exists
  kCreateAlways,   // write; creates or truncates
  kOpenAlways,     // write; opens or creates, keeping the contents
};

struct FileOpenOptions {
  FileDisposition disposition = FileDisposition::kReadExisting;
  // Others may open the file for reading, or for writing, meanwhile. Nothing
  // is locked on Linux, so these matter only on Windows.
  bool share_read = false;
  bool share_write = false;
};

class FileHandle {
 public:
  virtual ~FileHandle() = default;  // closes the file if still open
  // Reads up to `n` bytes at the file pointer. Returns false on an I/O error;
  // `*got` is the number of bytes read (0 at the end of the file).
  virtual bool Read(void* dest, int32_t n, int32_t* got) = 0;
  // Writes `n` bytes at the file pointer; false unless all were written.
  virtual bool Write(const void* src, int32_t n, int32_t* written) = 0;
  // Moves the file pointer to an absolute offset (which may lie past the end).
  virtual bool SeekTo(int64_t offset) = 0;
  // Moves the file pointer to the end; returns the new offset, or -1.
  virtual int64_t SeekToEnd() = 0;
  // Current file pointer, or -1.
  virtual int64_t Tell() = 0;
  // Size of the file in bytes, or -1.
  virtual int64_t Size() = 0;
  // Closes the file; false when the system reports a failure. Further calls
  // return false.
  virtual bool Close() = 0;
};

struct FileHandleOpeners {
  std::unique_ptr<FileHandle> (*narrow)(const std::string& name, const FileOpenOptions& options);
  std::unique_ptr<FileHandle> (*wide)(const std::wstring& name, const FileOpenOptions& options);
};

// The openers in force; tests may replace them.
FileHandleOpeners& FileHandleHooks();
// The real backend.
const FileHandleOpeners& RealFileHandleOpeners();

// Null when the file cannot be opened; LastError() (process.h) tells why.
inline std::unique_ptr<FileHandle> OpenFileHandle(const std::string& name, const FileOpenOptions& o) {
  return FileHandleHooks().narrow(name, o);
}
inline std::unique_ptr<FileHandle> OpenFileHandle(const std::wstring& name, const FileOpenOptions& o) {
  return FileHandleHooks().wide(name, o);
}

class ScopedFileHandleOverride {
 public:
  ScopedFileHandleOverride() : saved_(FileHandleHooks()) {}
  ~ScopedFileHandleOverride() { FileHandleHooks() = saved_; }
  ScopedFileHandleOverride(const ScopedFileHandleOverride&) = delete;
  ScopedFileHandleOverride& operator=(const ScopedFileHandleOverride&) = delete;

 private:
  FileHandleOpeners saved_;
};

}  // namespace platform

#endif  // PLATFORM_FILE_HANDLE_H_
