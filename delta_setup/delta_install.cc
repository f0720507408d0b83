#include "delta_setup/delta_install.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "delta_setup/binary_diff.h"
#include "delta_setup/delta_format.h"
#include "launcher/release/sha256.h"
#include "launcher/release/text.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/owner_file.h"
#include "platform/path.h"
#include "platform/process.h"

namespace delta_install {

namespace {

using delta_package::Blob;
using delta_package::Manifest;

constexpr int32_t kChunk = 1 << 20;
constexpr uint64_t kMaxManifest = 64u << 20;

// The program's lines are built as text and written whole: no printf, whose
// formatting code (floating point included) every package would carry.
int Report(int code, const std::string& line) {
  std::fputs(("delta_setup: " + line + "\n").c_str(), stderr);
  std::fflush(stderr);
  return code;
}

// A line of progress on standard output.
void Say(const std::string& line) { std::fputs(("delta_setup: " + line + "\n").c_str(), stdout); }

// `dir` as an absolute name: a relative one is taken from the working
// directory.
std::string Absolute(const std::string& dir) {
  const auto sep = [](char c) { return c == '/' || c == platform::kPathSep; };
  bool absolute = !dir.empty() && sep(dir[0]);
  if (platform::kPathSep == '\\' && dir.size() >= 3 && dir[1] == ':' && sep(dir[2])) absolute = true;
  return absolute ? dir : platform::WorkingDirectory() + dir;
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
  std::string manifest_sha256;
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
  p->manifest_sha256 = delta_package::ManifestSha256(head.substr(0, static_cast<size_t>(manifest_size)));
  auto inside = [&](const Blob& b) { return b.offset <= p->size - manifest_size && b.size <= p->size - manifest_size - b.offset; };
  bool ok = !m->has_gleaner || inside(m->gleaner);
  for (auto& pb : m->patches) ok = ok && inside(pb.second);
  for (auto& pb : m->wholes) ok = ok && inside(pb.second);
  for (auto& pb : m->bdiffs) ok = ok && inside(pb.second);
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

// A name that exists as itself, a link included (a link is not followed).
bool Present(const std::string& path) { return platform::IsLink(path) || platform::Exists(path); }

// `path` without a trailing separator.
std::string NoTrailingSeparator(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == platform::kPathSep)) path.pop_back();
  return path;
}

// True when the real name `real` is `base` or lies below it.
bool Below(const std::string& real, const std::string& base) {
  if (real.size() < base.size() || real.compare(0, base.size(), base) != 0) return false;
  if (real.size() == base.size()) return true;
  const char next = real[base.size()];
  return next == '/' || next == platform::kPathSep || base.back() == '/' || base.back() == platform::kPathSep;
}

// True when `rel` reaches no place outside the install directory through a
// link (or a junction) in any of its existing components.
bool StaysInside(const std::string& root, const std::string& rel) {
  std::string base;
  if (!platform::RealPath(NoTrailingSeparator(root), &base)) return false;
  std::string p = NoTrailingSeparator(root);
  size_t at = 0;
  while (true) {
    size_t slash = rel.find('/', at);
    p = platform::JoinPath(p, rel.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
    if (!Present(p)) return true;  // nothing further exists
    if (platform::IsLink(p)) {
      // Where it leads must exist and lie inside; a link to nowhere is refused.
      std::string real;
      if (!platform::RealPath(p, &real) || !Below(real, base)) return false;
    }
    if (slash == std::string::npos) return true;
    at = slash + 1;
  }
}

// Removes `path` and, for a directory, everything below it. Links are
// removed, never followed. Failures are left for the caller to notice.
void RemoveTree(const std::string& path) {
  if (platform::IsLink(path)) {
    // A link to a directory is a directory entry on Windows.
    if (!platform::RemoveFile(path)) platform::RemoveEmptyDirectory(path);
    return;
  }
  if (!platform::IsDirectory(path)) {
    platform::RemoveFile(path);
    return;
  }
  std::vector<platform::DirEntry> entries;
  if (platform::ListDirectory(path, &entries)) {
    for (const platform::DirEntry& e : entries)
      if (e.name != "." && e.name != "..") RemoveTree(platform::JoinPath(path, e.name));
  }
  platform::RemoveEmptyDirectory(path);
}

// Removes the staging directories of every setup run that no longer runs
// (this one's too), then the staging root when nothing is left in it. A run
// that still runs keeps its own. A patch tool its killed setup program took
// along may take a moment to let go of its files: a removal that fails is
// tried again for up to two seconds, and what still stays is left to the
// next run.
void RemoveEndedStaging(const std::string& root) {
  const std::string base = root + delta_package::kStagingDir;
  if (platform::IsLink(base) || (Present(base) && !platform::IsDirectory(base))) {
    RemoveTree(base);  // a planted file or link in its place
    return;
  }
  std::vector<platform::DirEntry> entries;
  if (!platform::ListDirectory(base, &entries)) return;
  const uint32_t self = platform::CurrentProcessId();
  std::vector<std::string> ended;
  for (const platform::DirEntry& e : entries) {
    if (e.name == "." || e.name == "..") continue;
    uint64_t pid = 0;
    if (release::ParseDecimal(e.name, &pid, UINT32_MAX) && pid != self &&
        platform::ProcessIsAlive(static_cast<uint32_t>(pid)))
      continue;
    ended.push_back(platform::JoinPath(base, e.name));
  }
  for (int attempt = 0; !ended.empty() && attempt < 20; ++attempt) {
    if (attempt > 0) platform::SleepMs(100);
    for (auto it = ended.begin(); it != ended.end();) {
      RemoveTree(*it);
      it = Present(*it) ? std::next(it) : ended.erase(it);
    }
  }
  platform::RemoveEmptyDirectory(base);  // only when empty
}

using delta_package::Journal;
using delta_package::JournalRename;


bool FileHas(const std::string& path, const std::string& sha256) {
  std::string actual;
  return Sha256File(path, &actual) && actual == sha256;
}

// Puts what was written to the file at `path` on the disk.
bool FlushFile(const std::string& path) {
  platform::FileOpenOptions write;
  write.disposition = platform::FileDisposition::kOpenAlways;
  auto f = platform::OpenFile(path, write);
  return f && f->Flush() == platform::Status::kOk && f->Close() == platform::Status::kOk;
}

// The journal and the staging directory are trusted only as this user's own,
// unchanged by others: anything else there was planted, or may have been
// changed since, and is refused and left for the player to look at.
int CheckOwnFiles(const std::string& root) {
  const std::pair<const char*, bool> own[] = {{delta_package::kJournal, false}, {delta_package::kStagingDir, true}};
  for (const auto& [name, directory] : own) {
    const std::string path = root + name;
    if (!Present(path)) continue;
    std::string why;
    if (!platform::IsOwnUnchanged(path, directory, &why))
      return Report(kUntrusted, path + " " + why + ": refused, another user may have put it there or changed it. " +
                                    "It is left in place: look at it, and remove it if nobody should have.");
  }
  return kInstalled;
}

// Carries out a committed journal; each part may already have been done.
int Complete(const std::string& root, const Journal& j) {
  for (const std::string& d : j.deletes) {
    const std::string target = root + Native(d);
    if (platform::Exists(target) && !platform::RemoveFile(target))
      return Report(kJournalFailed, d + ": cannot remove it");
  }
  for (const JournalRename& r : j.renames) {
    const std::string staged = root + Native(r.staged), target = root + Native(r.path);
    if (platform::Exists(staged)) {
      // Still what the package says: the file may have been changed since
      // it was checked.
      if (!FileHas(staged, r.sha256))
        return Report(kJournalFailed, r.path + ": the staged file " + r.staged +
                                          " no longer matches the package's SHA-256, it is not installed");
      platform::MakeDirectories(platform::DirName(target));
      if (r.executable) platform::MakeExecutable(staged);
      if (!platform::RenameFile(staged, target)) return Report(kJournalFailed, r.path + ": cannot replace it");
    } else if (!FileHas(target, r.sha256)) {
      return Report(kJournalFailed, r.path + ": neither staged nor in place");
    }
  }
  if (!platform::SetProfileString("version", "ClientVersion", j.version, root + delta_package::kVersionStore))
    return Report(kJournalFailed, std::string(delta_package::kVersionStore) + ": cannot write the version");
  if (!platform::RemoveFile(root + delta_package::kJournal))
    return Report(kJournalFailed, std::string(delta_package::kJournal) + ": cannot remove it");
  RemoveEndedStaging(root);
  return kInstalled;
}

// What an earlier run left: a committed journal written for this very
// package (`m`, whose manifest has the SHA-256 `manifest_sha256`) is
// completed; any other journal is discarded, with the staging of every run
// that has ended: one not committed, one of another package, one of the
// first format, which names no package. None of them is carried out: what
// they would do cannot be told to be this package's.
int Recover(const std::string& root, const Manifest& m, const std::string& manifest_sha256) {
  const std::string journal = root + delta_package::kJournal;
  if (platform::Exists(journal)) {
    std::string text, why;
    Journal j;
    const bool read = platform::ReadFileToString(journal, &text);
    const bool parsed = read && delta_package::ParseJournal(text, &j, &why);
    bool inside = true;
    for (const std::string& d : j.deletes) inside = inside && StaysInside(root, d);
    for (const JournalRename& r : j.renames) inside = inside && StaysInside(root, r.path);
    if (parsed && inside && delta_package::JournalIsFor(j, m, manifest_sha256, &why)) {
      Say("completing the interrupted install of " + j.version);
      const int r = Complete(root, j);
      if (r != kInstalled) return r;
    } else {
      if (text.rfind(delta_package::kJournalHeader, 0) == 0 || text.rfind("commit\n", 0) == 0)
        Say("discarding the install journal: " +
            (!read ? std::string("unreadable") : !inside ? "a link leads out of the install directory" : why));
      if (!platform::RemoveFile(journal))
        return Report(kJournalFailed, std::string(delta_package::kJournal) + ": cannot remove it");
    }
  }
  platform::RemoveFile(journal + ".tmp");
  RemoveEndedStaging(root);
  return kInstalled;
}

// Writes the journal as a new file only this user may open, puts it on the
// disk, and renames it over the last one: the rename is the moment the record
// counts. Whatever lies at the temporary name (a file, a link) is removed,
// never written through.
bool WriteJournal(const std::string& root, const std::string& text) {
  const std::string journal = root + delta_package::kJournal, temp = journal + ".tmp";
  platform::RemoveFile(temp);
  if (platform::CreateOwnerOnlyFile(temp, text) && FlushFile(temp) && platform::RenameFile(temp, journal)) return true;
  platform::RemoveFile(temp);
  return false;
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
  }
  for (const auto& [path, blob] : m.bdiffs) {
    // The input was checked against its digest before staging began; the
    // difference checks it once more, and its own result.
    const std::string name = std::to_string(n++);
    std::string diff, old_data, new_data, error;
    if (blob.size > binary_diff::kMaxFileSize + binary_diff::kHeaderSize + (binary_diff::kMaxFileSize >> 4) ||
        !ReadAt(p.file.get(), p.blobs + blob.offset, blob.size, &diff))
      return Report(kWriteFailed, path + ": cannot read its binary difference");
    if (!platform::ReadFileToString(root + Native(path), &old_data))
      return Report(kInputMismatch, path + ": unreadable, the package cannot patch it");
    if (!binary_diff::Apply(old_data, diff, &new_data, &error)) return Report(kOutputMismatch, path + ": " + error);
    if (!platform::WriteStringToFile(stage + name + ".new", new_data))
      return Report(kWriteFailed, path + ": cannot stage it (a full disk?)");
    staged[path] = stage_rel + name + ".new";
  }
  for (const auto& [path, blob] : m.wholes) {
    const std::string name = std::to_string(n++);
    if (!ExtractBlob(p, blob, true, stage + name + ".new"))
      return Report(kWriteFailed, path + ": cannot stage it (damaged data or a full disk)");
    staged[path] = stage_rel + name + ".new";
  }
  // Each output checked, and on the disk before the journal that names it.
  for (const auto& o : m.outputs) {
    const std::string file = root + Native(staged[o.path]);
    if (!FileHas(file, o.sha256))
      return Report(kOutputMismatch, o.path + ": the new file does not match the package's SHA-256");
    if (!FlushFile(file)) return Report(kWriteFailed, o.path + ": cannot put the staged file on the disk");
    j->renames.push_back({staged[o.path], o.sha256, o.path, o.executable});
  }
  j->manifest_sha256 = p.manifest_sha256;
  j->version = m.version;
  j->from = m.from;
  j->deletes = m.deletes;
  return kInstalled;
}

}  // namespace

int Install(const std::string& package_path, const std::string& install_dir) {
  const std::string root = platform::JoinPath(Absolute(install_dir), "");
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

  if (int r = CheckOwnFiles(root); r != kInstalled) return r;
  if (int r = Recover(root, m, p.manifest_sha256); r != kInstalled) {
    // A full package writes every file of its version: it may go on.
    if (!m.from.empty()) return r;
    platform::RemoveFile(root + delta_package::kJournal);
    RemoveEndedStaging(root);
  }
  if (AlreadyInstalled(root, m)) {
    Say("version " + m.version + " is already installed");
    return kInstalled;
  }
  for (const auto& [path, sha] : m.inputs) {
    std::string actual;
    if (!Sha256File(root + Native(path), &actual))
      return Report(kInputMismatch, path + ": missing or unreadable, the package cannot patch it");
    if (actual != sha)
      return Report(kInputMismatch, path + ": changed locally (SHA-256 " + actual + ", the package expects " + sha + ")");
  }

  // The staging directory is made here, as this user's own, and checked
  // again once made: someone may have put another in its place meanwhile.
  const std::string stage_rel = std::string(delta_package::kStagingDir) + "/" +
                                std::to_string(platform::CurrentProcessId()) + "/";
  const std::string stage_root = root + delta_package::kStagingDir;
  if (!platform::IsDirectory(stage_root)) platform::MakeOwnUnchangedDirectory(stage_root);
  if (!platform::MakeOwnUnchangedDirectory(root + Native(stage_rel)) || !WriteJournal(root, "staging " + m.version + "\n"))
    return Report(kWriteFailed, "cannot make the staging directory " + root + Native(stage_rel));
  std::string why;
  if (int r = CheckOwnFiles(root); r != kInstalled) return r;
  if (!platform::IsOwnUnchanged(root + Native(stage_rel), true, &why))
    return Report(kUntrusted, root + Native(stage_rel) + " " + why + ": refused, another user may have made it");
  Journal j;
  const int staged = Stage(p, m, root, stage_rel, &j);
  if (staged != kInstalled) {
    platform::RemoveFile(root + delta_package::kJournal);
    RemoveEndedStaging(root);
    return staged;
  }
  if (!WriteJournal(root, delta_package::JournalText(j))) {
    platform::RemoveFile(root + delta_package::kJournal);
    RemoveEndedStaging(root);
    return Report(kWriteFailed, std::string(delta_package::kJournal) + ": cannot commit");
  }
  const int r = Complete(root, j);
  if (r == kInstalled)
    Say("installed version " + m.version + " (" + std::to_string(m.outputs.size()) + " files written, " +
        std::to_string(m.deletes.size()) + " removed)");
  return r;
}

}  // namespace delta_install
