#include <windows.h>

#include "platform/file.h"

namespace platform {
namespace {

bool WinExists(const std::string& p) { return GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WinIsDirectory(const std::string& p) {
  DWORD a = GetFileAttributesA(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool WinMakeDirectory(const std::string& p) { return CreateDirectoryA(p.c_str(), nullptr) != 0; }
bool WinRemoveDirectory(const std::string& p) { return RemoveDirectoryA(p.c_str()) != 0; }
bool WinDeleteFile(const std::string& p) { return DeleteFileA(p.c_str()) != 0; }
bool WinCopyFile(const std::string& a, const std::string& b) { return CopyFileA(a.c_str(), b.c_str(), FALSE) != 0; }

bool WinMoveFile(const std::string& a, const std::string& b) {
  return MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

bool WinListDirectory(const std::string& p, std::vector<DirEntry>* out) {
  std::string pattern = p;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += "*.*";
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  out->clear();
  do {
    out->push_back({fd.cFileName, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return true;
}

bool WinIsReadOnly(const std::string& p) {
  DWORD a = GetFileAttributesA(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

bool WinSetReadOnly(const std::string& p, bool ro) {
  return SetFileAttributesA(p.c_str(), ro ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != 0;
}

int64_t WinFileSize(const std::string& p) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExA(p.c_str(), GetFileExInfoStandard, &d)) return -1;
  if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

bool WinMakeExecutable(const std::string& p) { return WinExists(p); }

}  // namespace

const FileOps& RealFiles() {
  static const FileOps ops = {
      WinExists,     WinIsDirectory, WinMakeDirectory, WinRemoveDirectory,
      WinDeleteFile, WinCopyFile,    WinMoveFile,      WinListDirectory,
      WinIsReadOnly, WinSetReadOnly, WinFileSize,      WinMakeExecutable,
  };
  return ops;
}

}  // namespace platform
