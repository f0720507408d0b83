#include "launcher/release/file_manifest.h"

#include <set>

#include "delta_setup/delta_format.h"
#include "launcher/release/text.h"

namespace release {
namespace {

constexpr char kHeader[] = "RNWL-FILES 1";

// Splits the first `n` blank-separated words off `line`; the rest (which may
// hold blanks) goes to *rest. False when there are fewer words or a word is
// empty (two blanks in a row).
bool Words(const std::string& line, size_t n, std::vector<std::string>* w, std::string* rest) {
  w->clear();
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t blank = line.find(' ', at);
    if (blank == std::string::npos || blank == at) return false;
    w->push_back(line.substr(at, blank - at));
    at = blank + 1;
  }
  *rest = line.substr(at);
  return true;
}

// A version text as the tree's directories name it: digits and dots.
bool IsVersionText(const std::string& v) {
  if (v.empty() || v.size() > 64) return false;
  for (char c : v)
    if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
  return true;
}

std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

uint64_t MaxStoredSize(uint64_t size) {
  // zlib's own bound (compressBound), which holds for every level.
  return size + (size >> 12) + (size >> 14) + (size >> 25) + 13;
}

std::string StoredFileAddress(const std::string& sha256) { return std::string(kFileStoreDir) + "/" + sha256; }

std::string WriteFileManifest(const FileManifest& m) {
  std::string out = std::string(kHeader) + "\nversion " + m.version + "\n";
  for (const ManifestFile& f : m.files)
    out += "file " + f.sha256 + " " + std::to_string(f.size) + " " + std::to_string(f.stored) + " " +
           (f.executable ? "x" : "-") + " " + f.path + "\n";
  return out + "end\n";
}

bool ParseFileManifest(const std::string& text, FileManifest* out, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = why;
    return false;
  };
  *out = FileManifest();
  if (text.size() > kMaxManifestBytes) return fail("the manifest is larger than " + std::to_string(kMaxManifestBytes) + " bytes");
  std::set<std::string> seen;  // paths, lower case
  uint64_t total = 0;
  size_t at = 0;
  enum { kWantHeader, kWantVersion, kFiles, kEnded } where = kWantHeader;
  while (at < text.size()) {
    if (where == kEnded) return fail("text after end");
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) return fail("a line without its line end");
    const std::string line = text.substr(at, nl - at);
    at = nl + 1;
    std::vector<std::string> w;
    std::string rest;
    if (where == kWantHeader) {
      if (line != kHeader) return fail("not a file manifest");
      where = kWantVersion;
    } else if (where == kWantVersion) {
      if (!Words(line, 1, &w, &rest) || w[0] != "version" || !IsVersionText(rest)) return fail("bad version line");
      out->version = rest;
      where = kFiles;
    } else if (line == "end") {
      where = kEnded;
    } else if (Words(line, 5, &w, &rest) && w[0] == "file") {
      ManifestFile f;
      f.sha256 = w[1];
      f.path = rest;
      if (!IsUpperHex64(f.sha256)) return fail("bad digest for " + rest);
      if (!ParseDecimal(w[2], &f.size, kMaxManifestFileSize)) return fail("bad size for " + rest);
      if (!ParseDecimal(w[3], &f.stored, MaxStoredSize(f.size))) return fail("bad stored size for " + rest);
      if (w[4] != "x" && w[4] != "-") return fail("bad mode for " + rest);
      f.executable = w[4] == "x";
      if (f.path.size() > kMaxManifestPath || !delta_package::SafeRelativePath(f.path))
        return fail("refused path: " + rest);
      if (!seen.insert(AsciiLower(f.path)).second) return fail("listed twice: " + rest);
      if (out->files.size() >= kMaxManifestFiles)
        return fail("more than " + std::to_string(kMaxManifestFiles) + " files");
      total += f.size;  // each at most 2^31: no overflow before the check
      if (total > kMaxManifestTotalSize) return fail("the files are larger than the bound together");
      out->files.push_back(std::move(f));
    } else {
      return fail("unknown manifest line");
    }
  }
  if (where != kEnded) return fail("the manifest does not end");
  return true;
}

}  // namespace release
