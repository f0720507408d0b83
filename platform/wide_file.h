// File and directory operations on wide-character names (UTF-16 on Windows,
// UTF-32 on Linux, where names are converted to UTF-8), plus the few that
// file.h lacks in either form: the working directory, modification times and
// the drive roots.
#ifndef PLATFORM_WIDE_FILE_H_
#define PLATFORM_WIDE_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct WideDirEntry {
  std::wstring name;  // name only, without the directory
  bool is_directory;
};

bool WidePathExists(const std::wstring& path);
bool WideIsDirectory(const std::wstring& path);
bool WideDeleteFile(const std::wstring& path);
// Renames, replacing an existing target.
bool WideMoveFile(const std::wstring& from, const std::wstring& to);
// 1 read-only, 0 writable, -1 when the attributes cannot be read.
int WideReadOnlyState(const std::wstring& path);
// Resets the attributes to normal (clears read-only).
bool WideClearAttributes(const std::wstring& path);
// Size in bytes of an existing file, or -1.
int64_t WideFileSize(const std::wstring& path);
bool WideMakeDirectory(const std::wstring& path);
bool WideRemoveDirectory(const std::wstring& path);
// Entries of a directory, without "." and "..".
bool WideListDirectory(const std::wstring& path, std::vector<WideDirEntry>* out);
// Last modification as seconds since 1970, or -1.
int64_t WideModifiedTime(const std::wstring& path);
std::wstring WideWorkingDirectory();
bool WideChangeWorkingDirectory(const std::wstring& path);

// The same for narrow names (ANSI code page).
int64_t ModifiedTime(const std::string& path);
std::string WorkingDirectory();
bool ChangeWorkingDirectory(const std::string& path);

// Roots of the mounted drives: "C:\\", "D:\\" ... on Windows, "/" on Linux.
std::vector<std::wstring> DriveRoots();

}  // namespace platform

#endif  // PLATFORM_WIDE_FILE_H_
