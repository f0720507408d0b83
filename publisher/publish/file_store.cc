// The per-file store of a release tree (launcher/release/file_manifest.h):
// each distinct file of every version once, compressed, and the signed
// manifest of every version; and its check in publish verify.
#include <algorithm>
#include <map>
#include <set>

#include "delta_setup/delta_format.h"
#include "launcher/release/file_manifest.h"
#include "launcher/release/version_documents.h"
#include "platform/file.h"
#include "platform/path.h"
#include "publisher/publish/publisher.h"

namespace publisher {
namespace {

std::string StorePath(const std::string& root, const std::string& sha256) {
  return platform::JoinPath(root + release::kFileStoreDir, sha256);
}

// Whether `stored` (a store file's bytes) inflates to exactly `size` bytes of
// SHA-256 `sha256`; *why says how it does not.
bool StoredHolds(const std::string& stored, uint64_t size, const std::string& sha256, std::string* why) {
  std::string raw;
  if (stored.size() > release::MaxStoredSize(size) || !delta_package::Uncompress(stored, size, &raw)) {
    *why = "does not inflate to " + std::to_string(size) + " bytes";
    return false;
  }
  if (delta_package::Sha256Of(raw) != sha256) {
    *why = "inflates to other bytes";
    return false;
  }
  return true;
}

}  // namespace

bool PublishFileStore(const std::string& out_dir, const std::vector<VersionFiles>& versions, const SigningSeeds& seeds,
                      std::vector<std::string>* lines, std::string* error) {
  const std::string root = platform::JoinPath(out_dir, "");
  platform::MakeDirectories(root + release::kFileStoreDir);
  std::map<std::string, uint64_t> stored_size, raw_size;  // sha256 -> bytes of its store file, of the file
  uint64_t added = 0, added_bytes = 0;
  // The store files first, each once: a manifest names only files that are
  // there.
  for (const VersionFiles& v : versions) {
    for (const BuildFile& f : v.files) {
      if (stored_size.count(f.sha256)) continue;
      std::string raw;
      if (!platform::ReadFileToString(f.full_path, &raw)) {
        *error = "cannot read " + f.full_path;
        return false;
      }
      if (raw.size() > release::kMaxManifestFileSize) {
        *error = f.full_path + " is larger than a stored file may be (" +
                 std::to_string(release::kMaxManifestFileSize) + " bytes)";
        return false;
      }
      if (delta_package::Sha256Of(raw) != f.sha256) {
        *error = f.full_path + " changed while the release was built";
        return false;
      }
      const std::string path = StorePath(root, f.sha256);
      std::string present, why;
      if (platform::ReadFileToString(path, &present)) {
        // Its name promises its bytes: kept as it is, never rewritten.
        if (!StoredHolds(present, raw.size(), f.sha256, &why)) {
          *error = path + " exists and " + why + "; a stored file is never rewritten. Remove it if nothing " +
                   "serves it, or publish into a new tree";
          return false;
        }
        stored_size[f.sha256] = present.size();
        raw_size[f.sha256] = raw.size();
        continue;
      }
      const std::string packed = delta_package::Compress(raw);
      if (!WriteTreeFile(path, packed, Existing::kRefuse, error)) return false;
      stored_size[f.sha256] = packed.size();
      raw_size[f.sha256] = raw.size();
      ++added;
      added_bytes += packed.size();
    }
  }
  // Then the manifests, each signed like the version documents.
  for (const VersionFiles& v : versions) {
    release::FileManifest m;
    m.version = v.version;
    for (const BuildFile& f : v.files)
      m.files.push_back({f.path, f.sha256, raw_size[f.sha256], stored_size[f.sha256], f.executable});
    const std::string text = release::WriteFileManifest(m);
    release::FileManifest check;
    std::string why;
    if (!release::ParseFileManifest(text, &check, &why)) {
      *error = v.version + "/" + release::kFileManifestFile + " would be refused: " + why;
      return false;
    }
    platform::MakeDirectories(root + v.version);
    if (!release::WriteDocumentFile(platform::JoinPath(root + v.version, release::kFileManifestFile), text, seeds,
                                    error))
      return false;
  }
  lines->push_back("file store: " + std::to_string(stored_size.size()) + " distinct files in " +
                   std::to_string(versions.size()) + " versions, " + std::to_string(added) + " new (" +
                   std::to_string(added_bytes) + " bytes stored)");
  return true;
}

void VerifyFileStore(const std::string& out_dir, const PublisherKey& key, std::vector<std::string>* problems) {
  const std::string root = platform::JoinPath(out_dir, "");
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(root, &entries);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  std::set<std::string> checked;  // store files checked once, however many versions list them
  for (const platform::DirEntry& e : entries) {
    if (!e.is_directory || e.name == "." || e.name == "..") continue;
    const std::string path = platform::JoinPath(root + e.name, release::kFileManifestFile);
    const std::string shown = e.name + "/" + release::kFileManifestFile;
    std::string text;
    if (!platform::ReadFileToString(path, &text)) continue;
    std::string sig;
    if (!platform::ReadFileToString(path + release::kSignatureSuffix, &sig)) {
      problems->push_back(shown + ": no signature file " + shown + release::kSignatureSuffix);
    } else if (!VerifyDetached(key, text, sig)) {
      problems->push_back(shown + ": signature does not verify with the given key");
    }
    release::FileManifest m;
    std::string why;
    if (!release::ParseFileManifest(text, &m, &why)) {
      problems->push_back(shown + ": " + why);
      continue;
    }
    if (m.version != e.name) problems->push_back(shown + ": version " + m.version + " is not its directory");
    for (const release::ManifestFile& f : m.files) {
      const std::string rel = release::StoredFileAddress(f.sha256);
      if (!checked.insert(f.sha256 + " " + std::to_string(f.size) + " " + std::to_string(f.stored)).second) continue;
      std::string stored;
      if (!platform::ReadFileToString(StorePath(root, f.sha256), &stored)) {
        problems->push_back(rel + ": missing (" + shown + " lists it as " + f.path + ")");
        continue;
      }
      if (stored.size() != f.stored) {
        problems->push_back(rel + ": " + std::to_string(stored.size()) + " bytes, " + shown + " says " +
                            std::to_string(f.stored));
        continue;
      }
      if (!StoredHolds(stored, f.size, f.sha256, &why)) problems->push_back(rel + ": " + why);
    }
  }
}

}  // namespace publisher
