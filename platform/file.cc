#include "platform/file.h"

#include "platform/env.h"
#include "platform/path.h"
#include "platform/wide_text.h"

namespace platform {

std::string FileName::ToNarrow() const { return is_wide_ ? WideToAnsi(wide_) : narrow_; }

FileSystemCalls& FileCalls() { return CurrentEnv().Files(); }

// Open files -------------------------------------------------------------

std::unique_ptr<File> OpenFile(const FileName& name, const FileOpenOptions& options, Status* error) {
  NativeFile native = 0;
  Status e = FileCalls().open(name, options, &native);
  if (error) *error = e;
  if (e != Status::kOk) return nullptr;
  return std::make_unique<File>(native);
}

File::~File() {
  if (open_) FileCalls().close(native_);
}

Status File::Read(void* dest, size_t n, size_t* got) {
  *got = 0;
  if (Status e = Check(); e != Status::kOk) return e;
  Status e = FileCalls().read(native_, position_, dest, n, got);
  if (*got > n) *got = 0;  // a replaced entry claiming more than asked
  position_ += static_cast<int64_t>(*got);
  return e;
}

Status File::Write(const void* src, size_t n, size_t* written) {
  size_t done = 0;
  Status result = Check();
  const char* p = static_cast<const char*>(src);
  while (result == Status::kOk && done < n) {
    size_t step = 0;
    result = FileCalls().write(native_, position_, p + done, n - done, &step);
    if (step > n - done) step = 0;
    done += step;
    position_ += static_cast<int64_t>(step);
    // A system that accepts nothing without an error would keep us here.
    if (result == Status::kOk && step == 0) result = Status::kRetryable;
  }
  if (written) *written = done;
  return result;
}

Status File::SeekTo(int64_t position) {
  if (Status e = Check(); e != Status::kOk) return e;
  if (position < 0) return Status::kBadCall;
  position_ = position;
  return Status::kOk;
}

Status File::SeekToEnd(int64_t* end) {
  int64_t size = 0;
  Status e = Size(&size);
  if (e != Status::kOk) return e;
  position_ = size;
  if (end) *end = size;
  return Status::kOk;
}

Status File::Size(int64_t* size) {
  *size = -1;
  if (Status e = Check(); e != Status::kOk) return e;
  return FileCalls().size(native_, size);
}

Status File::SetLength(int64_t length) {
  if (Status e = Check(); e != Status::kOk) return e;
  if (length < 0) return Status::kBadCall;
  return FileCalls().set_length(native_, length);
}

Status File::Flush() {
  if (Status e = Check(); e != Status::kOk) return e;
  return FileCalls().flush(native_);
}

Status File::Close() {
  if (Status e = Check(); e != Status::kOk) return e;
  open_ = false;
  return FileCalls().close(native_);
}

// Names ------------------------------------------------------------------

namespace {

// The name without separators at its end: a link named "link/" would be
// followed.
std::string Trimmed(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == kPathSep)) path.pop_back();
  return path;
}

}  // namespace

void DeleteFilesRecursively(const std::string& dir) {
  // Someone else's directory behind a link is not ours to empty.
  if (IsLink(Trimmed(dir))) return;
  std::vector<DirEntry> entries;
  if (!ListDirectory(dir, &entries)) return;
  for (const DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    std::string full = JoinPath(dir, e.name);
    if (IsLink(full)) {
      // The link goes, whatever it leads to: a link to a file or a symbolic
      // link is a file entry, a link to a directory on Windows a directory
      // entry (removing it leaves its target alone).
      if (!RemoveFile(full)) RemoveEmptyDirectory(full);
    } else if (e.is_directory) {
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

// Whole files ------------------------------------------------------------

bool ReadFileToString(const FileName& path, std::string* out) {
  FileOpenOptions o;
  o.share_read = true;
  o.share_write = true;
  std::unique_ptr<File> f = OpenFile(path, o);
  if (!f) return false;
  out->clear();
  char buf[65536];
  for (;;) {
    size_t got = 0;
    Status e = f->Read(buf, sizeof buf, &got);
    out->append(buf, got);
    if (e != Status::kOk) return false;
    if (got < sizeof buf) return true;
  }
}

namespace {

Status WriteAll(const FileName& path, const std::string& data, bool flush) {
  FileOpenOptions o;
  o.disposition = FileDisposition::kCreateAlways;
  Status e = Status::kOk;
  std::unique_ptr<File> f = OpenFile(path, o, &e);
  if (!f) return e;
  e = f->Write(data.data(), data.size());
  if (e == Status::kOk && flush) e = f->Flush();
  Status closed = f->Close();
  return e != Status::kOk ? e : closed;
}

}  // namespace

bool WriteStringToFile(const FileName& path, const std::string& data) {
  return WriteAll(path, data, false) == Status::kOk;
}

Status ReplaceFileVia(const std::string& temp, const std::string& path, const std::string& data) {
  Status e = WriteAll(temp, data, true);
  if (e == Status::kOk && !RenameFile(temp, path)) e = Status::kRetryable;
  if (e != Status::kOk) RemoveFile(temp);
  return e;
}

Status ReplaceFileContents(const std::string& path, const std::string& data) {
  return ReplaceFileVia(path + ".tmp", path, data);
}

}  // namespace platform
