#include "delta_setup/delta_install.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <vector>

#include "delta_setup/delta_format.h"
#include "launcher/release/signature.h"
#include "launcher/release/text.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/process.h"

namespace delta_install {

void (*g_step_hook)(int step, const std::string& install_dir) = nullptr;

namespace {

namespace fs = std::filesystem;
using delta_package::Blob;
using delta_package::Manifest;

constexpr int32_t kChunk = 1 << 20;
constexpr uint64_t kMaxManifest = 64u << 20;

int Report(int code, const std::string& line) {
  std::fprintf(stderr, "delta_setup: %s\n", line.c_str());
  std::fflush(stderr);
  return code;
}

std::string Native(const std::string& rel) {
  std::string out = rel;
  for (char& c : out)
    if (c == '/') c = platform::kPathSep;
  return out;
}

// The payload's place inside the package file.
struct Package {
  std::unique_ptr<platform::File> file;
  uint64_t start = 0, size = 0;
  uint64_t blobs = 0;  // where the blobs begin (after the manifest)
};

bool ReadAt(platform::File* f, uint64_t offset, uint64_t size, std::string* out) {
  out->assign(static_cast<size_t>(size), '\0');
  if (f->SeekTo(static_cast<int64_t>(offset)) != platform::Status::kOk) return false;
  uint64_t done = 0;
  while (done < size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done)), got = 0;
    if (f->Read(&(*out)[static_cast<size_t>(done)], want, &got) != platform::Status::kOk || got == 0)
      return false;
    done += static_cast<uint64_t>(got);
  }
  return true;
}

bool OpenPackage(const std::string& path, Package* p, Manifest* m, std::string* error) {
  platform::FileOpenOptions read;
  read.share_read = true;
  p->file = platform::OpenFile(path, read);
  if (!p->file) {
    *error = "cannot open the package " + path;
    return false;
  }
  int64_t total = -1;
  if (p->file->Size(&total) != platform::Status::kOk) total = -1;
  std::string tail;
  if (total < 16 || !ReadAt(p->file.get(), static_cast<uint64_t>(total) - 16, 16, &tail) ||
      std::memcmp(tail.data() + 8, delta_package::kMagic, 8) != 0) {
    *error = "the package carries no payload";
    return false;
  }
  for (int i = 0; i < 8; ++i) p->size |= static_cast<uint64_t>(static_cast<unsigned char>(tail[i])) << (8 * i);
  if (p->size > static_cast<uint64_t>(total) - 16) {
    *error = "the package's payload size is damaged";
    return false;
  }
  p->start = static_cast<uint64_t>(total) - 16 - p->size;
  std::string head;
  uint64_t manifest_size = 0;
  if (!ReadAt(p->file.get(), p->start, std::min(p->size, kMaxManifest), &head) ||
      !delta_package::ParseManifest(head, m, &manifest_size, error)) {
    if (error->empty()) *error = "cannot read the manifest";
    *error = "damaged manifest: " + *error;
    return false;
  }
  p->blobs = p->start + manifest_size;
  auto inside = [&](const Blob& b) { return b.offset <= p->size - manifest_size && b.size <= p->size - manifest_size - b.offset; };
  bool ok = !m->has_gleaner || inside(m->gleaner);
  for (auto& pb : m->patches) ok = ok && inside(pb.second);
  for (auto& pb : m->wholes) ok = ok && inside(pb.second);
  if (!ok) *error = "a blob lies outside the payload";
  return ok;
}

// Copies a blob to a new file, inflating it when `inflate`; checks the size.
bool ExtractBlob(Package& p, const Blob& b, bool inflate, const std::string& dest) {
  platform::FileOpenOptions write;
  write.disposition = platform::FileDisposition::kCreateAlways;
  auto out = platform::OpenFile(dest, write);
  if (!out || p.file->SeekTo(static_cast<int64_t>(p.blobs + b.offset)) != platform::Status::kOk) return false;
  z_stream z{};
  if (inflate && inflateInit(&z) != Z_OK) return false;
  std::vector<unsigned char> in(kChunk), buf(kChunk);
  uint64_t left = b.size, written = 0;
  int zr = Z_OK;
  bool ok = true;
  while (ok && left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, left)), got = 0;
    if (p.file->Read(in.data(), want, &got) != platform::Status::kOk || got == 0) {
      ok = false;
      break;
    }
    left -= static_cast<uint64_t>(got);
    if (!inflate) {
      ok = out->Write(in.data(), got) == platform::Status::kOk;
      written += static_cast<uint64_t>(got);
      continue;
    }
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(got);
    while (ok && z.avail_in > 0 && zr != Z_STREAM_END) {
      z.next_out = buf.data();
      z.avail_out = static_cast<uInt>(buf.size());
      zr = ::inflate(&z, Z_NO_FLUSH);
      if (zr != Z_OK && zr != Z_STREAM_END) ok = false;
      const size_t n = buf.size() - z.avail_out;
      if (ok && n > 0) ok = out->Write(buf.data(), n) == platform::Status::kOk;
      written += static_cast<uint64_t>(n);
    }
  }
  if (inflate) {
    ok = ok && zr == Z_STREAM_END;
    inflateEnd(&z);
  }
  return out->Close() == platform::Status::kOk && ok && written == b.raw;
}

// True when `rel` reaches no place outside the install directory through a
// link (or a junction) in any of its existing components.
bool StaysInside(const std::string& root, const std::string& rel) {
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(fs::path(root), ec);
  if (ec) return false;
  fs::path p = fs::path(root);
  size_t at = 0;
  while (true) {
    size_t slash = rel.find('/', at);
    p /= rel.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    const fs::file_status st = fs::symlink_status(p, ec);
    if (ec || !fs::exists(st)) return true;  // nothing further exists
    if (fs::is_symlink(st)) {
      const fs::path real = fs::weakly_canonical(p, ec);
      if (ec) return false;
      const fs::path r = real.lexically_relative(base);
      if (r.empty() || r.native().empty() || *r.begin() == "..") return false;
    }
    if (slash == std::string::npos) return true;
    at = slash + 1;
  }
}

// Removes the staging directories of every setup run that no longer runs
// (this one's too), then the staging root when nothing is left in it. A run
// that still runs keeps its own. A patch tool its killed setup program took
// along may take a moment to let go of its files: a removal that fails is
// tried again for up to two seconds, and what still stays is left to the
// next run.
void RemoveEndedStaging(const std::string& root) {
  const fs::path base = fs::path(root + delta_package::kStagingDir);
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(base, ec))) {
    fs::remove(base, ec);  // a planted file or link in its place
    return;
  }
  const uint32_t self = platform::CurrentProcessId();
  std::vector<fs::path> ended;
  for (auto it = fs::directory_iterator(base, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    uint64_t pid = 0;
    if (release::ParseDecimal(it->path().filename().string(), &pid, UINT32_MAX) && pid != self &&
        platform::ProcessIsAlive(static_cast<uint32_t>(pid)))
      continue;
    ended.push_back(it->path());
  }
  for (int attempt = 0; !ended.empty() && attempt < 20; ++attempt) {
    if (attempt > 0) platform::SleepMs(100);
    for (auto it = ended.begin(); it != ended.end();) {
      fs::remove_all(*it, ec);  // links are removed, never followed
      it = fs::exists(fs::symlink_status(*it, ec)) ? std::next(it) : ended.erase(it);
    }
  }
  fs::remove(base, ec);  // only when empty
}

struct Rename {
  std::string staged, sha256, path;
  bool executable = false;
};

struct Journal {
  bool committed = false;
  std::string version;
  std::vector<Rename> renames;
  std::vector<std::string> deletes;
};

std::string JournalText(const Journal& j) {
  std::string t = "commit\nversion " + j.version + "\n";
  for (const std::string& d : j.deletes) t += "delete " + d + "\n";
  for (const Rename& r : j.renames)
    t += "rename " + r.staged + " " + r.sha256 + " " + (r.executable ? "x" : "-") + " " + r.path + "\n";
  return t + "end\n";
}

// A committed journal, or false (not committed, damaged or unsafe).
bool ParseJournal(const std::string& root, const std::string& text, Journal* j) {
  size_t at = 0;
  std::vector<std::string> lines;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) return false;
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  if (lines.size() < 3 || lines.front() != "commit" || lines.back() != "end") return false;
  const std::string staging_prefix = std::string(delta_package::kStagingDir) + "/";
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.rfind("version ", 0) == 0) {
      j->version = l.substr(8);
    } else if (l.rfind("delete ", 0) == 0) {
      j->deletes.push_back(l.substr(7));
      if (!delta_package::SafeRelativePath(j->deletes.back()) || !StaysInside(root, j->deletes.back())) return false;
    } else if (l.rfind("rename ", 0) == 0) {
      Rename r;
      size_t a = 7, b = l.find(' ', a);
      if (b == std::string::npos) return false;
      r.staged = l.substr(a, b - a);
      a = b + 1;
      if (l.size() < a + 67 || l[a + 64] != ' ' || l[a + 66] != ' ') return false;
      r.sha256 = l.substr(a, 64);
      r.executable = l[a + 65] == 'x';
      r.path = l.substr(a + 67);
      if (r.staged.rfind(staging_prefix, 0) != 0 || r.staged.find("..") != std::string::npos ||
          !delta_package::IsSha256Text(r.sha256) || !delta_package::SafeRelativePath(r.path) ||
          !StaysInside(root, r.path))
        return false;
      j->renames.push_back(r);
    } else {
      return false;
    }
  }
  j->committed = !j->version.empty();
  return j->committed;
}

int step_count = 0;
void Step(const std::string& root) {
  ++step_count;
  if (g_step_hook) g_step_hook(step_count, root);
}

bool FileHas(const std::string& path, const std::string& sha256) {
  std::string actual;
  return Sha256File(path, &actual) && actual == sha256;
}

// Carries out a committed journal; each part may already have been done.
int Complete(const std::string& root, const Journal& j) {
  for (const std::string& d : j.deletes) {
    const std::string target = root + Native(d);
    if (platform::Exists(target) && !platform::RemoveFile(target))
      return Report(kJournalFailed, d + ": cannot remove it");
    Step(root);
  }
  for (const Rename& r : j.renames) {
    const std::string staged = root + Native(r.staged), target = root + Native(r.path);
    if (platform::Exists(staged)) {
      platform::MakeDirectories(platform::DirName(target));
      if (r.executable) platform::MakeExecutable(staged);
      if (!platform::RenameFile(staged, target)) return Report(kJournalFailed, r.path + ": cannot replace it");
    } else if (!FileHas(target, r.sha256)) {
      return Report(kJournalFailed, r.path + ": neither staged nor in place");
    }
    Step(root);
  }
  if (!platform::SetProfileString("version", "ClientVersion", j.version, root + delta_package::kVersionStore))
    return Report(kJournalFailed, std::string(delta_package::kVersionStore) + ": cannot write the version");
  Step(root);
  if (!platform::RemoveFile(root + delta_package::kJournal))
    return Report(kJournalFailed, std::string(delta_package::kJournal) + ": cannot remove it");
  Step(root);
  RemoveEndedStaging(root);
  return kInstalled;
}

// What an earlier run left: a committed journal is completed, anything else
// of it is discarded.
int Recover(const std::string& root) {
  const std::string journal = root + delta_package::kJournal;
  if (platform::Exists(journal)) {
    std::string text;
    Journal j;
    if (platform::ReadFileToString(journal, &text) && ParseJournal(root, text, &j)) {
      std::printf("delta_setup: completing the interrupted install of %s\n", j.version.c_str());
      const int r = Complete(root, j);
      if (r != kInstalled) return r;
    } else if (!platform::RemoveFile(journal)) {
      return Report(kJournalFailed, std::string(delta_package::kJournal) + ": cannot remove it");
    }
  }
  platform::RemoveFile(journal + ".tmp");
  RemoveEndedStaging(root);
  return kInstalled;
}

bool WriteJournal(const std::string& root, const std::string& text) {
  const std::string journal = root + delta_package::kJournal;
  return platform::ReplaceFileContents(journal, text) == platform::Status::kOk;
}

bool AlreadyInstalled(const std::string& root, const Manifest& m) {
  if (platform::ProfileString("version", "ClientVersion", "", root + delta_package::kVersionStore) != m.version)
    return false;
  for (const auto& o : m.outputs)
    if (!FileHas(root + Native(o.path), o.sha256)) return false;
  for (const std::string& d : m.deletes)
    if (platform::Exists(root + Native(d))) return false;
  return true;
}

// Stages and checks every output; on success fills `j`. Any failure returns
// its code after one line on standard error.
int Stage(Package& p, const Manifest& m, const std::string& root, const std::string& stage_rel, Journal* j) {
  const std::string stage = root + Native(stage_rel);
  std::map<std::string, std::string> staged;  // path -> staged relative name
  int n = 0;
  std::string gleaner;
  if (!m.patches.empty()) {
    gleaner = stage + "Gleaner" + platform::kExeSuffix;
    if (!ExtractBlob(p, m.gleaner, true, gleaner) || !platform::MakeExecutable(gleaner))
      return Report(kWriteFailed, "cannot extract the patch tool into " + gleaner);
  }
  for (const auto& [path, blob] : m.patches) {
    const std::string name = std::to_string(n++);
    const std::string diff = stage + name + ".diff", out = stage + name + ".new";
    if (!ExtractBlob(p, blob, false, diff)) return Report(kWriteFailed, path + ": cannot stage its difference file");
    const std::string line = platform::QuoteArgument(gleaner) + " \"" + diff + "\" \"" + root + Native(path) +
                             "\" \"" + out + "\"";
    // Tied: a setup program killed while the patch tool runs takes it along,
    // so nothing keeps running in (and holding) the staging directory.
    auto child = platform::StartTiedProcess(line, stage, stage + name + ".log");
    if (!child) return Report(kGleanerFailed, path + ": cannot start the patch tool");
    child->Wait();
    const int code = child->ExitCode();
    if (code != 0) return Report(kGleanerFailed, path + ": the patch tool failed with exit code " + std::to_string(code));
    staged[path] = stage_rel + name + ".new";
    Step(root);
  }
  for (const auto& [path, blob] : m.wholes) {
    const std::string name = std::to_string(n++);
    if (!ExtractBlob(p, blob, true, stage + name + ".new"))
      return Report(kWriteFailed, path + ": cannot stage it (damaged data or a full disk)");
    staged[path] = stage_rel + name + ".new";
    Step(root);
  }
  for (const auto& o : m.outputs) {
    if (!FileHas(root + Native(staged[o.path]), o.sha256))
      return Report(kOutputMismatch, o.path + ": the new file does not match the package's SHA-256");
    j->renames.push_back({staged[o.path], o.sha256, o.path, o.executable});
  }
  j->version = m.version;
  j->deletes = m.deletes;
  j->committed = true;
  Step(root);
  return kInstalled;
}

}  // namespace

int Install(const std::string& package_path, const std::string& install_dir) {
  std::error_code ec;
  const std::string root = platform::JoinPath(fs::absolute(fs::path(install_dir), ec).string(), "");
  if (!platform::IsDirectory(root)) return Report(kUsage, "no install directory " + root);
  Package p;
  Manifest m;
  std::string error;
  if (!OpenPackage(package_path, &p, &m, &error)) {
    const bool refused = error.find("refused path") != std::string::npos;
    return Report(refused ? kRefused : kNoPayload, error);
  }
  std::vector<std::string> all;
  for (auto& i : m.inputs) all.push_back(i.first);
  for (auto& o : m.outputs) all.push_back(o.path);
  for (auto& d : m.deletes) all.push_back(d);
  for (const std::string& path : all)
    if (!StaysInside(root, path)) return Report(kRefused, path + ": refused, a link leads out of the install directory");

  if (int r = Recover(root); r != kInstalled) {
    // A full package writes every file of its version: it may go on.
    if (!m.from.empty()) return r;
    platform::RemoveFile(root + delta_package::kJournal);
    RemoveEndedStaging(root);
  }
  if (AlreadyInstalled(root, m)) {
    std::printf("delta_setup: version %s is already installed\n", m.version.c_str());
    return kInstalled;
  }
  for (const auto& [path, sha] : m.inputs) {
    std::string actual;
    if (!Sha256File(root + Native(path), &actual))
      return Report(kInputMismatch, path + ": missing or unreadable, the package cannot patch it");
    if (actual != sha)
      return Report(kInputMismatch, path + ": changed locally (SHA-256 " + actual + ", the package expects " + sha + ")");
  }

  const std::string stage_rel = std::string(delta_package::kStagingDir) + "/" +
                                std::to_string(platform::CurrentProcessId()) + "/";
  if (!platform::MakeDirectories(root + Native(stage_rel)) ||
      !WriteJournal(root, "staging " + m.version + "\n"))
    return Report(kWriteFailed, "cannot make the staging directory " + root + Native(stage_rel));
  Journal j;
  const int staged = Stage(p, m, root, stage_rel, &j);
  if (staged != kInstalled) {
    platform::RemoveFile(root + delta_package::kJournal);
    RemoveEndedStaging(root);
    return staged;
  }
  if (!WriteJournal(root, JournalText(j))) {
    platform::RemoveFile(root + delta_package::kJournal);
    RemoveEndedStaging(root);
    return Report(kWriteFailed, std::string(delta_package::kJournal) + ": cannot commit");
  }
  Step(root);
  const int r = Complete(root, j);
  if (r == kInstalled)
    std::printf("delta_setup: installed version %s (%zu files written, %zu removed)\n", m.version.c_str(),
                m.outputs.size(), m.deletes.size());
  return r;
}

}  // namespace delta_install
