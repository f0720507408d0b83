#include "publisher/publish/publisher.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>

#include "launcher/release/file_manifest.h"
#include "launcher/release/sha256.h"
#include "launcher/release/text.h"
#include "launcher/release/version_documents.h"
#include "launcher/update/digest.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/owner_file.h"
#include "platform/path.h"
#include "platform/process.h"

namespace publisher {
namespace {

// Checks D against D.sig; false with a problem line when it does not verify.
bool CheckSignature(const std::string& path, const std::string& shown, const std::string& doc,
                    const PublisherKey& key, std::vector<std::string>* problems) {
  std::string sig;
  if (!platform::ReadFileToString(path + release::kSignatureSuffix, &sig)) {
    problems->push_back(shown + ": no signature file " + shown + release::kSignatureSuffix);
    return false;
  }
  if (!VerifyDetached(key, doc, sig)) {
    problems->push_back(shown + ": signature does not verify with the given key");
    return false;
  }
  return true;
}

// The packageblocks text of the file at `path`, read a block at a time;
// false when it cannot be read whole.
bool FileBlocks(const std::string& path, std::string* text) {
  std::unique_ptr<platform::File> file = platform::OpenFile(path, platform::FileOpenOptions());
  if (!file) return false;
  std::vector<std::string> digests;
  std::string block(release::kPackageBlockSize, '\0');
  for (;;) {
    size_t got = 0;
    if (file->Read(&block[0], block.size(), &got) != platform::Status::kOk) return false;
    if (got == 0) break;
    Sha256 digest;
    digest.Update(block.data(), got);
    digests.push_back(digest.HexText());
    if (got < block.size()) break;
  }
  *text = release::WritePackageBlocks(digests);
  return true;
}

// Checks one published package against its address, size and digests.
// `prefix` names its elements: "" for the package, "full" for the fallback.
void CheckPackage(const std::string& root, const std::string& shown, const std::string& url,
                  const std::string& sha1_text, const std::string& size_text, const std::string& sha256_text,
                  const std::optional<std::string>& blocks_text, const std::string& prefix,
                  std::vector<std::string>* problems) {
  // The package's place in the tree: what follows the last "packages/".
  const size_t at = url.rfind("packages/");
  const std::string rel = at == std::string::npos ? std::string() : url.substr(at);
  if (rel.size() <= 9 || rel.find("..") != std::string::npos || rel.find('\\') != std::string::npos ||
      (at > 0 && url[at - 1] != '/')) {
    problems->push_back(shown + ": package address " + url + " is not under packages/");
    return;
  }
  std::string native = rel;
  for (char& c : native)
    if (c == '/') c = platform::kPathSep;
  const std::string package = root + native;
  uint64_t size = 0;
  const bool size_read = release::ParseDecimal(size_text, &size);
  if (!size_read) problems->push_back(shown + ": " + prefix + "packagesize " + size_text + " is not a decimal number");
  int64_t actual = platform::FileSize(package);
  if (actual < 0) {
    problems->push_back(shown + ": package " + rel + " is missing");
    return;
  }
  if (!size_read || static_cast<uint64_t>(actual) != size)
    problems->push_back(rel + ": size " + std::to_string(actual) + ", published " + size_text);
  if (!VerifyPackage(package, sha1_text)) problems->push_back(rel + ": SHA-1 differs from " + prefix + "packagemd5");
  std::string sha256;
  if (!Sha256File(package, &sha256) || sha256 != sha256_text) {
    problems->push_back(rel + ": SHA-256 differs from " + prefix + "packagesha256");
  }
  // The blocks, when the document gives them (older ones do not): one per
  // block of the published size, and, for the package the document names
  // (its SHA-256 matches), that package's blocks.
  std::vector<std::string> listed;
  std::string blocks;
  if (blocks_text && size_read && !release::ParsePackageBlocks(*blocks_text, size, &listed)) {
    problems->push_back(shown + ": " + prefix + "packageblocks is not one SHA-256 per 4 MiB block of " + prefix +
                        "packagesize " + size_text);
  } else if (blocks_text && sha256 == sha256_text && (!FileBlocks(package, &blocks) || blocks != *blocks_text)) {
    problems->push_back(rel + ": blocks differ from " + prefix + "packageblocks");
  }
  // packages/<64 hex digits>/<name>: the directory is the content's SHA-256.
  const std::string middle = rel.substr(9, rel.find('/', 9) == std::string::npos ? 0 : rel.find('/', 9) - 9);
  if (middle.size() == 64 && middle.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos &&
      middle != sha256) {
    problems->push_back(rel + ": the address names another SHA-256 than the package's");
  }
}

void CheckVersionDocument(const std::string& root, const std::string& dir, const PublisherKey& key,
                          const std::string& latest_serial, std::vector<std::string>* problems) {
  const std::string shown = dir + "/" + release::kVersionInfoFile;
  const std::string path = platform::JoinPath(root + dir, release::kVersionInfoFile);
  std::string doc;
  if (!platform::ReadFileToString(path, &doc)) {
    problems->push_back(shown + ": cannot read");
    return;
  }
  CheckSignature(path, shown, doc, key, problems);

  release::VersionInfo info;
  if (!release::ParseVersionInfo(doc, &info)) {
    problems->push_back(shown + ": no version element");
    return;
  }
  // The seven a signed document carries, read in order as the launcher does.
  if (const char* missing = release::FirstMissingSigned(info)) {
    problems->push_back(shown + ": no " + missing + " element (in order)");
    return;
  }
  if (*info.fromversion != dir) problems->push_back(shown + ": fromversion " + *info.fromversion + " is not its directory " + dir);
  if (info.serial != latest_serial)
    problems->push_back(shown + ": serial " + info.serial.value_or("(none)") + " is not latest-version.xml's " +
                        latest_serial);
  CheckPackage(root, shown, *info.packageurl, *info.packagemd5, *info.packagesize, *info.packagesha256,
               info.packageblocks, "", problems);

  // The fallback to the full package, when published.
  if (!info.fullpackageurl) return;
  if (const char* missing = release::FirstMissingFallback(info)) {
    problems->push_back(shown + ": fullpackageurl without " + missing);
    return;
  }
  CheckPackage(root, shown, *info.fullpackageurl, *info.fullpackagemd5, *info.fullpackagesize,
               *info.fullpackagesha256, info.fullpackageblocks, "full", problems);
}

// The words after "fullpackage" on a package's line.
bool ReadFullPackageLine(std::istringstream& words, FullPackage* full) {
  full->present = true;
  std::string word, value;
  while (words >> word) {
    if (word == "cancel") {
      full->cancel = true;
      continue;
    }
    if (!(words >> value)) return false;
    if (word == "digest") {
      full->digest = value;
    } else if (word == "sha256") {
      full->sha256 = value;
    } else if (word == "size") {
      full->size = value;
    } else if (word == "omit") {
      full->omit.push_back(value);
    } else {
      return false;
    }
  }
  return true;
}

// Writes the sample setup program with a payload of `files` producing
// `version` as packages/<name>; gives the file's bytes, SHA-1 and SHA-256
// texts.
bool WriteSamplePackage(const std::string& program, const std::string& version, bool cancel,
                        const std::vector<sample_package::File>& files, const std::string& out,
                        const std::string& name, std::string* bytes, std::string* sha1_text,
                        std::string* sha256_text, std::string* error) {
  sample_package::Payload payload;
  payload.version = version;
  payload.cancel = cancel;
  payload.files = files;
  *bytes = sample_package::Attach(program, payload);
  const std::string path = platform::JoinPath(out + "packages", name);
  if (!WriteTreeFile(path, *bytes, Existing::kReplace, error)) return false;
  DigestContext sha1;
  sha1.Update(bytes->data(), bytes->size());
  sha1.Final();
  *sha1_text = sha1.DigestText();
  Sha256 sha256;
  sha256.Update(bytes->data(), bytes->size());
  *sha256_text = sha256.HexText();
  return true;
}

// Writes packages/full_<from>_to_<to> for a package that names a full
// package and fills the version.xml elements that name it.
bool WriteFullPackage(const Description& d, const Package& p, const std::string& program, const std::string& out,
                      bool is_signed, release::VersionInfo* info, std::vector<std::string>* lines,
                      std::string* error) {
  const FullPackage& f = p.full;
  const std::string name = "full_" + p.from + "_to_" + p.to + platform::kExeSuffix;
  std::string bytes, sha1, sha256;
  if (!WriteSamplePackage(program, p.to, f.cancel, p.files, out, name, &bytes, &sha1, &sha256, error)) return false;
  info->fullpackageurl = d.url + "packages/" + name;
  info->fullpackagemd5 = f.digest.empty() ? sha1 : f.digest;
  if (is_signed) {
    info->fullpackagesize = f.size.empty() ? std::to_string(bytes.size()) : f.size;
    info->fullpackagesha256 = f.sha256.empty() ? sha256 : f.sha256;
    info->fullpackageblocks = release::PackageBlocksOf(bytes);
  }
  for (const std::string& e : f.omit) {
    if (e.rfind("full", 0) != 0) continue;  // only its own elements
    if (auto* field = info->Field(e)) field->reset();
  }
  lines->push_back(p.from + " -> " + p.to + "  " + name + "  " + std::to_string(bytes.size()) + " bytes (full)");
  return true;
}

}  // namespace

bool ReadDescription(const std::string& path, Description* d, std::string* error) {
  std::string text;
  if (!platform::ReadFileToString(path, &text)) {
    *error = "cannot read " + path;
    return false;
  }
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string key;
    if (!(words >> key) || key[0] == '#') continue;
    std::string a, b;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (key == "url") {
      words >> d->url;
    } else if (key == "setup") {
      std::getline(words >> std::ws, d->setup);
    } else if (key == "latest") {
      words >> d->latest;
    } else if (key == "rollout") {
      // Written as given, so that a test tree may carry a bad one.
      if (!(words >> d->rollout >> d->held)) {
        *error = where + "rollout needs <percent> <held version>";
        return false;
      }
    } else if (key == "package") {
      if (!(words >> a >> b)) {
        *error = where + "package needs <from> <to>";
        return false;
      }
      d->packages.push_back(Package{a, b});
    } else if (d->packages.empty()) {
      *error = where + key + " outside a package";
      return false;
    } else if (key == "updateself") {
      words >> d->packages.back().updateself;
    } else if (key == "cancel") {
      d->packages.back().cancel = true;
    } else if (key == "digest") {
      words >> d->packages.back().digest;
    } else if (key == "sha256") {
      words >> d->packages.back().sha256;
    } else if (key == "size") {
      words >> d->packages.back().size;
    } else if (key == "omit") {
      words >> a;
      d->packages.back().omit.push_back(a);
    } else if (key == "fullpackage") {
      if (!ReadFullPackageLine(words, &d->packages.back().full)) {
        *error = where + "fullpackage takes: cancel, digest <text>, sha256 <text>, size <text>, omit <element>";
        return false;
      }
    } else if (key == "file" || key == "text") {
      if (!(words >> a)) {
        *error = where + key + " needs <dest>";
        return false;
      }
      std::string rest;
      std::getline(words >> std::ws, rest);
      std::string data;
      if (key == "file" && !platform::ReadFileToString(rest, &data)) {
        *error = where + "cannot read " + rest;
        return false;
      }
      if (key == "text") data = rest + "\n";
      d->packages.back().files.push_back({a, data});
    } else {
      *error = where + "unknown line: " + key;
      return false;
    }
  }
  if (d->url.empty() || d->setup.empty() || d->latest.empty()) {
    *error = "url, setup and latest are required";
    return false;
  }
  return true;
}

bool PublishTree(const Description& d, const std::string& program, const std::string& out_dir,
                 const Publication& pub, std::vector<std::string>* lines, std::string* error) {
  const std::string out = platform::JoinPath(out_dir, "");
  if (!CheckNewest(out, d.latest, pub, error)) return false;
  platform::MakeDirectories(out + "packages");
  release::LatestVersion latest = LatestOf(d.latest, pub);
  if (!d.rollout.empty()) {
    latest.rollout = d.rollout;
    latest.heldversionnum = d.held;
  }
  // The packages first, then the documents that name them, latest-version.xml
  // last: a tree served while it is written never names a missing file, and
  // one that stops halfway still serves the publication before.
  std::vector<std::pair<std::string, release::VersionInfo>> documents;
  for (const Package& p : d.packages) {
    const std::string name = "update_" + p.from + "_to_" + p.to + platform::kExeSuffix;
    std::string bytes, sha1, sha256;
    if (!WriteSamplePackage(program, p.to, p.cancel, p.files, out, name, &bytes, &sha1, &sha256, error)) return false;
    release::VersionInfo info;
    info.versionnum = p.to;
    info.packageurl = d.url + "packages/" + name;
    info.packagemd5 = p.digest.empty() ? sha1 : p.digest;
    info.updateself = p.updateself;
    if (pub.Signed()) {
      info.serial = std::to_string(pub.serial);
      info.fromversion = p.from;
      info.packagesize = p.size.empty() ? std::to_string(bytes.size()) : p.size;
      info.packagesha256 = p.sha256.empty() ? sha256 : p.sha256;
      // The blocks of the bytes written, also beside a size given by hand.
      info.packageblocks = release::PackageBlocksOf(bytes);
    }
    for (const std::string& e : p.omit) {
      if (e.rfind("full", 0) == 0) continue;  // the full package's own omit list names those
      if (auto* field = info.Field(e)) field->reset();
    }
    std::vector<std::string> full_line;
    if (p.full.present && !WriteFullPackage(d, p, program, out, pub.Signed(), &info, &full_line, error)) return false;
    documents.emplace_back(p.from, std::move(info));
    lines->push_back(p.from + " -> " + p.to + "  " + name + "  " + std::to_string(bytes.size()) + " bytes");
    lines->insert(lines->end(), full_line.begin(), full_line.end());
  }
  for (const auto& [from, info] : documents) {
    platform::MakeDirectories(out + from);
    if (!release::WriteDocumentFile(platform::JoinPath(out + from, release::kVersionInfoFile),
                                    release::WriteVersionInfo(info), pub.seeds, error))
      return false;
  }
  return release::WriteDocumentFile(out + release::kLatestVersionFile, release::WriteLatestVersion(latest), pub.seeds,
                                    error);
}

bool VerifyTree(const std::string& out_dir, const PublisherKey& key, std::vector<std::string>* problems) {
  const size_t before = problems->size();
  const std::string root = platform::JoinPath(out_dir, "");
  std::string latest;
  const std::string latest_name = release::kLatestVersionFile;
  std::string serial;
  if (!platform::ReadFileToString(root + latest_name, &latest)) {
    problems->push_back(latest_name + ": cannot read");
  } else {
    CheckSignature(root + latest_name, latest_name, latest, key, problems);
    // Launchers refuse a signed tree that is not dated: its serial and expiry.
    release::LatestVersion doc;
    uint64_t number = 0;
    int64_t expires = 0;
    if (!release::ParseLatestVersion(latest, &doc) || !doc.serial || !release::ParseDecimal(*doc.serial, &number)) {
      problems->push_back(latest_name + ": no serial (publish refresh dates a tree)");
    } else {
      serial = *doc.serial;
    }
    if (!doc.expires || !release::ParseUtcTime(*doc.expires, &expires)) {
      problems->push_back(latest_name + ": no expiry of the form YYYY-MM-DDTHH:MM:SSZ");
    } else if (expires < platform::CurrentEnv().NowSeconds()) {
      problems->push_back(latest_name + ": expired at " + *doc.expires + " (publish refresh renews it)");
    }
  }
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(root, &entries);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const platform::DirEntry& e : entries) {
    if (!e.is_directory || e.name == "." || e.name == ".." || e.name == "packages") continue;
    if (!platform::Exists(platform::JoinPath(root + e.name, release::kVersionInfoFile))) continue;
    CheckVersionDocument(root, e.name, key, serial, problems);
  }
  VerifyFileStore(out_dir, key, problems);
  return problems->size() == before;
}

bool ParseVersion(const std::string& text, std::vector<uint64_t>* parts) {
  parts->clear();
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t dot = text.find('.', at);
    if ((i < 3) != (dot != std::string::npos)) return false;
    const std::string n = text.substr(at, i < 3 ? dot - at : std::string::npos);
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) return false;
    parts->push_back(std::stoull(n));
    at = dot + 1;
  }
  return true;
}

bool CheckNewest(const std::string& out_dir, const std::string& newest, const Publication& pub, std::string* error) {
  const std::string path = platform::JoinPath(out_dir, release::kLatestVersionFile);
  std::string text;
  if (!platform::ReadFileToString(path, &text)) return true;  // a new tree
  release::LatestVersion doc;
  if (!release::ParseLatestVersion(text, &doc)) {
    *error = path + " is not a latest-version.xml; refusing to publish over it";
    return false;
  }
  if (pub.force) return true;
  std::vector<uint64_t> now, next;
  if (!ParseVersion(doc.lastversionnum, &now) || !ParseVersion(newest, &next)) {
    *error = "cannot tell whether " + newest + " is older than the tree's newest version " + doc.lastversionnum +
             " (" + path + "); give --force to publish it anyway";
    return false;
  }
  if (next < now) {
    *error = "the tree's newest version is " + doc.lastversionnum + " and this publication's is " + newest +
             ": players would be sent back to an older version. Give --force to publish it anyway";
    return false;
  }
  return true;
}

bool WriteTreeFile(const std::string& path, const std::string& bytes, Existing existing, std::string* error) {
  if (existing == Existing::kRefuse && platform::Exists(path)) {
    Sha256 want;
    want.Update(bytes.data(), bytes.size());
    std::string have;
    const bool read = Sha256File(path, &have);
    if (read && have == want.HexText()) return true;
    *error = path + (read ? " exists with other bytes (SHA-256 " + have + ")" : " exists and cannot be read") +
             "; a published package is never rewritten. Remove it if nothing serves it, or publish into a new "
             "tree";
    return false;
  }
  return release::ReplaceServedFile(path, bytes, error);
}

release::LatestVersion LatestOf(const std::string& version, const Publication& pub) {
  release::LatestVersion latest{version};
  if (pub.Signed()) {
    latest.serial = std::to_string(pub.serial);
    latest.expires = pub.expires;
  }
  if (!pub.available_from.empty()) latest.availablefrom = pub.available_from;
  return latest;
}

bool NextPublication(const std::string& out_dir, int valid_days, Publication* pub, std::string* error) {
  if (valid_days < 1 || valid_days > 3650) {
    *error = "--valid-days must be 1 to 3650";
    return false;
  }
  uint64_t serial = 0;
  std::string text;
  const std::string latest = platform::JoinPath(out_dir, release::kLatestVersionFile);
  if (platform::ReadFileToString(latest, &text)) {
    release::LatestVersion doc;
    if (!release::ParseLatestVersion(text, &doc)) {
      *error = latest + " is not a latest-version.xml; refusing to publish over it";
      return false;
    }
    if (doc.serial && (!release::ParseDecimal(*doc.serial, &serial, UINT64_MAX - 1))) {
      *error = latest + " carries an unreadable serial " + *doc.serial;
      return false;
    }
  }
  pub->serial = serial + 1;
  pub->expires = release::FormatUtcTime(platform::CurrentEnv().NowSeconds() + int64_t{valid_days} * 86400);
  return true;
}

bool ReadTreeLatest(const std::string& dir, release::LatestVersion* latest, std::string* text) {
  std::string read;
  std::string& into = text ? *text : read;
  return platform::ReadFileToString(platform::JoinPath(dir, release::kLatestVersionFile), &into) &&
         release::ParseLatestVersion(into, latest);
}

bool RefreshTree(const std::string& out_dir, const Publication& pub, std::vector<std::string>* lines,
                 std::string* error, const LatestEdit& edit) {
  const std::string root = platform::JoinPath(out_dir, "");
  // Everything is read and checked before anything is written: a refresh
  // that stops halfway must not leave a tree of two serials.
  std::string text;
  release::LatestVersion latest;
  if (!ReadTreeLatest(root, &latest)) {
    *error = "no latest-version.xml in " + out_dir;
    return false;
  }
  std::vector<std::pair<std::string, release::VersionInfo>> infos;
  // The file lists of the per-file store carry no serial, but are signed
  // again with the publication's keys, so that a key rotation reaches them.
  std::vector<std::pair<std::string, std::string>> lists;
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(root, &entries);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const platform::DirEntry& e : entries) {
    if (!e.is_directory || e.name == "." || e.name == ".." || e.name == "packages") continue;
    const std::string list_path = platform::JoinPath(root + e.name, release::kFileManifestFile);
    release::FileManifest list;
    std::string list_text, why;
    if (platform::Exists(list_path)) {
      if (!platform::ReadFileToString(list_path, &list_text) || !release::ParseFileManifest(list_text, &list, &why)) {
        *error = list_path + " is not a file list (" + why + "); refusing to re-sign it";
        return false;
      }
      lists.emplace_back(list_path, list_text);
    }
    const std::string path = platform::JoinPath(root + e.name, release::kVersionInfoFile);
    if (!platform::Exists(path)) continue;
    release::VersionInfo info;
    if (!platform::ReadFileToString(path, &text) || !release::ParseVersionInfo(text, &info) ||
        release::WriteVersionInfo(info) != text) {
      // Only what the writer would write again byte for byte is re-signed,
      // so that nothing but the serial changes.
      *error = path + " is not a version.xml this tool wrote; refusing to re-sign it";
      return false;
    }
    infos.emplace_back(path, std::move(info));
  }
  if (edit && !edit(&latest, error)) return false;
  const std::string serial = std::to_string(pub.serial);
  for (const auto& [path, list_text] : lists)
    if (!release::WriteDocumentFile(path, list_text, pub.seeds, error)) return false;
  for (auto& [path, info] : infos) {
    info.serial = serial;
    if (!release::WriteDocumentFile(path, release::WriteVersionInfo(info), pub.seeds, error)) return false;
  }
  latest.serial = serial;
  latest.expires = pub.expires;
  if (!release::WriteDocumentFile(root + release::kLatestVersionFile, release::WriteLatestVersion(latest), pub.seeds,
                                  error))
    return false;
  lines->push_back("serial " + serial + ", expires " + pub.expires + ", " + std::to_string(infos.size()) +
                   " version.xml re-signed");
  if (!lists.empty()) lines->push_back(std::to_string(lists.size()) + " files.txt re-signed");
  return true;
}

bool MakeKey(const std::string& key_file, std::string* public_key_text, std::string* error) {
  SigningSeed seed{};
  PublisherKey key{};
  if (!GenerateSeed(&seed) || !PublicKeyOfSeed(seed, &key)) {
    *error = "cannot make a key";
    return false;
  }
  std::string line = EncodeBase64(seed.data(), seed.size()) + "\n";
  seed.fill(0);
  bool ok = platform::CreateOwnerOnlyFile(key_file, line);
  std::fill(line.begin(), line.end(), '\0');
  if (!ok) {
    // Name the real cause: a file in the way, a folder that is not there,
    // or whatever else the system refused.
    const std::string dir = platform::DirName(key_file);
    if (platform::Exists(key_file)) {
      *error = "cannot create " + key_file + ": it exists already (a key file is never overwritten)";
    } else if (!dir.empty() && !platform::IsDirectory(dir)) {
      *error = "cannot create " + key_file + ": there is no folder " + dir;
    } else {
      *error = "cannot create " + key_file + " (system error " + std::to_string(platform::LastError()) + ")";
    }
    return false;
  }
  *public_key_text = EncodePublicKey(key);
  return true;
}

bool ReadKeyFile(const std::string& key_file, SigningSeed* seed, std::string* error) {
  std::string text, why;
  if (!platform::ReadFileToString(key_file, &text)) {
    *error = "cannot read key file " + key_file;
    return false;
  }
  // A key that others can read may already be theirs: refused before it
  // signs anything.
  if (!platform::IsPrivateFile(key_file, &why)) {
    std::fill(text.begin(), text.end(), '\0');
    const std::string fix = platform::MakePrivateCommand(key_file);
    *error = "key file " + key_file + " is open to other users (" + why +
             "); a private key must be readable by its owner alone. Fix it with: " + fix;
    return false;
  }
  bool ok = DecodeSeedFile(text, seed);
  std::fill(text.begin(), text.end(), '\0');
  if (!ok) *error = "key file " + key_file + " does not hold a private key";
  return ok;
}

bool SetRollout(const std::string& out_dir, int percent, const Publication& pub, std::vector<std::string>* lines,
                std::string* error) {
  const std::string root = platform::JoinPath(out_dir, "");
  std::string held;
  // Only a staged release has a held version to fall back on; a release that
  // went out to everyone is replaced by a newer one, never taken back.
  const LatestEdit staged = [&](release::LatestVersion* latest, std::string* why) {
    if (!latest->heldversionnum || latest->heldversionnum->empty()) {
      *why = "the newest version " + latest->lastversionnum + " of " + out_dir +
             " went out to every install (no heldversionnum): only a release published with --rollout can change "
             "its rollout";
      return false;
    }
    held = *latest->heldversionnum;
    latest->rollout = std::to_string(percent);
    return true;
  };
  if (pub.Signed()) {
    if (!RefreshTree(out_dir, pub, lines, error, staged)) return false;
  } else {
    // An unsigned tree has no serials: latest-version.xml alone changes.
    release::LatestVersion latest;
    if (!ReadTreeLatest(root, &latest)) {
      *error = "no latest-version.xml in " + out_dir;
      return false;
    }
    if (latest.serial) {
      *error = out_dir + " is a signed tree: give --key KEY_FILE";
      return false;
    }
    if (!staged(&latest, error) || !release::WriteDocumentFile(root + release::kLatestVersionFile,
                                                               release::WriteLatestVersion(latest), pub.seeds, error))
      return false;
  }
  lines->push_back("rollout " + std::to_string(percent) + "%, the others held at " + held);
  return true;
}

}  // namespace publisher
