#include <windows.h>

#include <string>

#include "platform/file.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

// Calls that cannot succeed as made; everything else the system refuses is
// the environment (disk full, sharing violation, missing file...).
Status FromLastError() {
  const DWORD error = GetLastError();
  const std::string text = "system error " + std::to_string(error);
  switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return Status(Status::kBadCall, text);
    default:
      return Status(Status::kRetryable, text);
  }
}

HANDLE H(NativeFile f) { return reinterpret_cast<HANDLE>(f); }

// Names go to the A or the W function as the caller holds them.
#define BY_NAME(name, call, ...) \
  ((name).is_wide() ? call##W((name).wide().c_str(), ##__VA_ARGS__) : call##A((name).narrow().c_str(), ##__VA_ARGS__))

int64_t FileTimeToUnix(const FILETIME& ft) {
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>(u.QuadPart / 10000000ULL) - 11644473600LL;
}

OVERLAPPED At(int64_t offset) {
  OVERLAPPED o = {};
  o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return o;
}

// Open files ---------------------------------------------------------------

Status WinOpen(const FileName& name, const FileOpenOptions& o, NativeFile* out) {
  DWORD share = (o.share_read ? FILE_SHARE_READ : 0) | (o.share_write ? FILE_SHARE_WRITE : 0) |
                (o.share_delete ? FILE_SHARE_DELETE : 0);
  DWORD access = GENERIC_READ, creation = OPEN_EXISTING;
  switch (o.disposition) {
    case FileDisposition::kReadExisting: access = GENERIC_READ; creation = OPEN_EXISTING; break;
    case FileDisposition::kCreateNew: access = GENERIC_WRITE; creation = CREATE_NEW; break;
    case FileDisposition::kCreateAlways: access = GENERIC_WRITE; creation = CREATE_ALWAYS; break;
    case FileDisposition::kOpenAlways: access = GENERIC_WRITE; creation = OPEN_ALWAYS; break;
    case FileDisposition::kReadWrite: access = GENERIC_READ | GENERIC_WRITE; creation = OPEN_ALWAYS; break;
  }
  HANDLE h = BY_NAME(name, CreateFile, access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FromLastError();
  *out = reinterpret_cast<NativeFile>(h);
  return Status::kOk;
}

// At most 1 GiB per call: the counts are 32-bit.
DWORD Chunk(size_t n) { return n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n); }

Status WinRead(NativeFile f, int64_t offset, void* dest, size_t n, size_t* got) {
  *got = 0;
  char* p = static_cast<char*>(dest);
  while (*got < n) {
    OVERLAPPED at = At(offset + static_cast<int64_t>(*got));
    DWORD r = 0;
    if (!ReadFile(H(f), p + *got, Chunk(n - *got), &r, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return FromLastError();
    }
    if (r == 0) break;
    *got += r;
  }
  return Status::kOk;
}

Status WinWrite(NativeFile f, int64_t offset, const void* src, size_t n, size_t* written) {
  *written = 0;
  const char* p = static_cast<const char*>(src);
  while (*written < n) {
    OVERLAPPED at = At(offset + static_cast<int64_t>(*written));
    DWORD w = 0;
    if (!WriteFile(H(f), p + *written, Chunk(n - *written), &w, &at)) return FromLastError();
    if (w == 0) {
      SetLastError(ERROR_DISK_FULL);
      return FromLastError();
    }
    *written += w;
  }
  return Status::kOk;
}

Status WinFlush(NativeFile f) { return FlushFileBuffers(H(f)) ? Status::kOk : FromLastError(); }

Status WinSetLength(NativeFile f, int64_t length) {
  LARGE_INTEGER to;
  to.QuadPart = length;
  if (!SetFilePointerEx(H(f), to, nullptr, FILE_BEGIN) || !SetEndOfFile(H(f))) return FromLastError();
  return Status::kOk;
}

Status WinSize(NativeFile f, int64_t* size) {
  LARGE_INTEGER s;
  if (!GetFileSizeEx(H(f), &s)) return FromLastError();
  *size = s.QuadPart;
  return Status::kOk;
}

Status WinClose(NativeFile f) { return CloseHandle(H(f)) ? Status::kOk : FromLastError(); }

// Names --------------------------------------------------------------------

DWORD Attributes(const FileName& name) { return BY_NAME(name, GetFileAttributes); }

bool AttributeData(const FileName& name, WIN32_FILE_ATTRIBUTE_DATA* d) {
  return BY_NAME(name, GetFileAttributesEx, GetFileExInfoStandard, d) != 0;
}

bool WinExists(const FileName& name) { return Attributes(name) != INVALID_FILE_ATTRIBUTES; }

bool WinIsDirectory(const FileName& name) {
  DWORD a = Attributes(name);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool WinMakeDirectory(const FileName& name) { return BY_NAME(name, CreateDirectory, nullptr) != 0; }
bool WinRemoveDirectory(const FileName& name) { return BY_NAME(name, RemoveDirectory) != 0; }
bool WinDeleteFile(const FileName& name) { return BY_NAME(name, DeleteFile) != 0; }

// A pair of names in two forms goes to the W function.
std::wstring Wide(const FileName& name) { return name.is_wide() ? name.wide() : AnsiToWide(name.narrow()); }

// Copies into a temporary beside the target, created anew (a leftover, or a
// planted link, is removed as a link first and never written through), and
// renames it over the target: a link at the target is replaced, not followed.
bool WinCopyFile(const FileName& a, const FileName& b) {
  const std::wstring from = Wide(a), to = Wide(b), tmp = to + L".copy~";
  HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  DeleteFileW(tmp.c_str());
  HANDLE out = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    CloseHandle(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    DWORD put = 0;
    if (!WriteFile(out, buffer.data(), got, &put, nullptr) || put != got) {
      ok = false;
      break;
    }
  }
  FILETIME written;
  if (ok && GetFileTime(in, nullptr, nullptr, &written)) SetFileTime(out, nullptr, nullptr, &written);
  CloseHandle(in);
  ok = CloseHandle(out) && ok;
  if (ok) ok = MoveFileExW(tmp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) DeleteFileW(tmp.c_str());
  return ok;
}

bool WinMoveFile(const FileName& a, const FileName& b) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;
  if (!a.is_wide() && !b.is_wide()) return MoveFileExA(a.narrow().c_str(), b.narrow().c_str(), flags) != 0;
  return MoveFileExW(Wide(a).c_str(), Wide(b).c_str(), flags) != 0;
}

bool WinListDirectory(const FileName& name, std::vector<DirEntry>* out) {
  std::string pattern = name.ToNarrow();
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

bool WinListDirectoryWide(const FileName& name, std::vector<WideDirEntry>* out) {
  if (!name.is_wide()) {
    std::vector<DirEntry> entries;
    if (!WinListDirectory(name, &entries)) return false;
    out->clear();
    for (const DirEntry& e : entries) {
      if (e.name == "." || e.name == "..") continue;
      std::wstring w = AnsiToWide(e.name);
      out->push_back({w, e.is_directory});
    }
    return true;
  }
  std::wstring pattern = name.wide();
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L"*.*";
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  out->clear();
  do {
    std::wstring entry = fd.cFileName;
    if (entry == L"." || entry == L"..") continue;
    out->push_back({entry, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return true;
}

int WinReadOnlyState(const FileName& name) {
  DWORD a = Attributes(name);
  if (a == INVALID_FILE_ATTRIBUTES) return -1;
  return (a & FILE_ATTRIBUTE_READONLY) ? 1 : 0;
}

bool WinSetReadOnly(const FileName& name, bool ro) {
  return BY_NAME(name, SetFileAttributes, ro ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != 0;
}

int64_t WinFileSize(const FileName& name) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!AttributeData(name, &d) || (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return -1;
  return (static_cast<int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

bool WinMakeExecutable(const FileName& name) { return WinExists(name); }

int64_t WinModifiedTime(const FileName& name) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!AttributeData(name, &d)) return -1;
  return FileTimeToUnix(d.ftLastWriteTime);
}

FileName WinWorkingDirectory(bool wide) {
  if (wide) {
    wchar_t buf[MAX_PATH * 2];
    DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, buf);
    if (n == 0 || n >= MAX_PATH * 2) return FileName(std::wstring());
    std::wstring out(buf, n);
    if (out.back() != L'\\') out += L'\\';
    return FileName(out);
  }
  char buf[MAX_PATH * 2];
  DWORD n = GetCurrentDirectoryA(MAX_PATH * 2, buf);
  if (n == 0 || n >= MAX_PATH * 2) return FileName(std::string());
  std::string out(buf, n);
  if (out.back() != '\\') out += '\\';
  return FileName(out);
}

bool WinChangeWorkingDirectory(const FileName& name) { return BY_NAME(name, SetCurrentDirectory) != 0; }

std::vector<std::wstring> WinDriveRoots() {
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

}  // namespace

const char kTextLineEnd[] = "\r\n";

bool IsLink(const FileName& name) {
  const DWORD a = Attributes(name);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RealPath(const FileName& name, std::string* out) {
  // Opened for no access at all (a directory too), following every link.
  HANDLE h = CreateFileW(Wide(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::wstring real(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(h, &real[0], static_cast<DWORD>(real.size()), VOLUME_NAME_DOS);
  if (n >= real.size()) {  // too small: n is the size it needs
    real.resize(n + 1);
    n = GetFinalPathNameByHandleW(h, &real[0], static_cast<DWORD>(real.size()), VOLUME_NAME_DOS);
  }
  CloseHandle(h);
  if (n == 0 || n >= real.size()) return false;
  real.resize(n);
  // "\\?\C:\dir" or "\\?\UNC\server\share\dir": the usual spelling.
  if (real.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    real = L"\\\\" + real.substr(8);
  } else if (real.compare(0, 4, L"\\\\?\\") == 0) {
    real = real.substr(4);
  }
  *out = WideToAnsi(real);
  return true;
}

const FileSystemCalls& RealFileCalls() {
  static const FileSystemCalls calls = {
      WinOpen,          WinRead,           WinWrite,
      WinFlush,         WinSetLength,      WinSize,
      WinClose,         WinExists,         WinIsDirectory,
      WinMakeDirectory, WinRemoveDirectory, WinDeleteFile,
      WinCopyFile,      WinMoveFile,       WinListDirectory,
      WinListDirectoryWide, WinReadOnlyState, WinSetReadOnly,
      WinFileSize,      WinMakeExecutable, WinModifiedTime,
      WinWorkingDirectory, WinChangeWorkingDirectory, WinDriveRoots,
  };
  return calls;
}

}  // namespace platform
