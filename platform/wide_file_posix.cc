#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/file.h"
#include "platform/wide_file.h"
#include "platform/wide_text.h"

namespace platform {
namespace {

std::string N(const std::wstring& w) { return WideToAnsi(w); }

}  // namespace

bool WidePathExists(const std::wstring& path) { return Exists(N(path)); }
bool WideIsDirectory(const std::wstring& path) { return IsDirectory(N(path)); }
bool WideDeleteFile(const std::wstring& path) { return RemoveFile(N(path)); }
bool WideMoveFile(const std::wstring& from, const std::wstring& to) { return RenameFile(N(from), N(to)); }

int WideReadOnlyState(const std::wstring& path) {
  std::string p = N(path);
  if (!Exists(p)) return -1;
  return IsReadOnly(p) ? 1 : 0;
}

bool WideClearAttributes(const std::wstring& path) { return SetReadOnly(N(path), false); }
int64_t WideFileSize(const std::wstring& path) { return FileSize(N(path)); }
bool WideMakeDirectory(const std::wstring& path) { return MakeDirectory(N(path)); }
bool WideRemoveDirectory(const std::wstring& path) { return RemoveEmptyDirectory(N(path)); }

bool WideListDirectory(const std::wstring& path, std::vector<WideDirEntry>* out) {
  std::vector<DirEntry> entries;
  if (!ListDirectory(N(path), &entries)) return false;
  out->clear();
  for (const DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    out->push_back({AnsiToWide(e.name), e.is_directory});
  }
  return true;
}

int64_t ModifiedTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtime);
}

int64_t WideModifiedTime(const std::wstring& path) { return ModifiedTime(N(path)); }

std::string WorkingDirectory() {
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return std::string();
  std::string out = buf;
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

bool ChangeWorkingDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }
std::wstring WideWorkingDirectory() { return AnsiToWide(WorkingDirectory()); }
bool WideChangeWorkingDirectory(const std::wstring& path) { return ChangeWorkingDirectory(N(path)); }

std::vector<std::wstring> DriveRoots() { return {L"/"}; }

}  // namespace platform
