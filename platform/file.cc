#include "platform/file.h"

#include <cstdio>

#include "platform/path.h"

namespace platform {

FileOps& Files() {
  static FileOps ops = RealFiles();
  return ops;
}

void DeleteFilesRecursively(const std::string& dir) {
  std::vector<DirEntry> entries;
  if (!ListDirectory(dir, &entries)) return;
  for (const DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    std::string full = JoinPath(dir, e.name);
    if (e.is_directory) {
      DeleteFilesRecursively(full);
    } else {
      RemoveFile(full);
    }
  }
}

bool MakeDirectories(const std::string& path) {
  if (path.empty() || IsDirectory(path)) return true;
  std::string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == kPathSep)) trimmed.pop_back();
  std::string parent = DirName(trimmed);
  if (!parent.empty() && parent != trimmed && !IsDirectory(parent)) {
    if (!MakeDirectories(parent)) return false;
  }
  return MakeDirectory(trimmed) || IsDirectory(trimmed);
}

bool ReadFileToString(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool WriteStringToFile(const std::string& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

}  // namespace platform
