#include <windows.h>

#include "platform/wide_file.h"

namespace platform {
namespace {

int64_t FileTimeToUnix(const FILETIME& ft) {
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>(u.QuadPart / 10000000ULL) - 11644473600LL;
}

}  // namespace

bool WidePathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WideIsDirectory(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool WideDeleteFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != 0; }

bool WideMoveFile(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

int WideReadOnlyState(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return -1;
  return (a & FILE_ATTRIBUTE_READONLY) ? 1 : 0;
}

bool WideClearAttributes(const std::wstring& path) {
  return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

int64_t WideFileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return -1;
  if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

bool WideMakeDirectory(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != 0; }
bool WideRemoveDirectory(const std::wstring& path) { return RemoveDirectoryW(path.c_str()) != 0; }

bool WideListDirectory(const std::wstring& path, std::vector<WideDirEntry>* out) {
  std::wstring pattern = path;
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L"*.*";
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  out->clear();
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    out->push_back({name, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return true;
}

int64_t WideModifiedTime(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d)) return -1;
  return FileTimeToUnix(d.ftLastWriteTime);
}

int64_t ModifiedTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) return -1;
  return FileTimeToUnix(d.ftLastWriteTime);
}

std::wstring WideWorkingDirectory() {
  wchar_t buf[MAX_PATH * 2];
  DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, buf);
  if (n == 0 || n >= MAX_PATH * 2) return std::wstring();
  std::wstring out(buf, n);
  if (out.back() != L'\\') out += L'\\';
  return out;
}

bool WideChangeWorkingDirectory(const std::wstring& path) { return SetCurrentDirectoryW(path.c_str()) != 0; }

std::string WorkingDirectory() {
  char buf[MAX_PATH * 2];
  DWORD n = GetCurrentDirectoryA(MAX_PATH * 2, buf);
  if (n == 0 || n >= MAX_PATH * 2) return std::string();
  std::string out(buf, n);
  if (out.back() != '\\') out += '\\';
  return out;
}

bool ChangeWorkingDirectory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

std::vector<std::wstring> DriveRoots() {
  std::vector<std::wstring> out;
  DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if (mask & (1u << i)) {
      std::wstring root = L"A:\\";
      root[0] = static_cast<wchar_t>(L'A' + i);
      out.push_back(root);
    }
  }
  return out;
}

}  // namespace platform
