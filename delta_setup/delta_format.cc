// The reader of release packages (delta_format.h), and the install journal;
// the writer of packages is in payload_writer.cc.
#include "delta_setup/delta_format.h"

#include <zlib.h>

#include <cstring>
#include <set>

#include "launcher/release/sha256.h"
#include "launcher/release/text.h"

namespace delta_package {
namespace {

// Counts, offsets and sizes in the manifest: at most 18 digits.
bool Number(const std::string& text, uint64_t* v) { return release::ParseDecimal(text, v, 999999999999999999ull); }

// The rest of a line after `n` blank-separated words (a path may hold blanks).
bool Words(const std::string& line, size_t n, std::vector<std::string>* words, std::string* rest) {
  size_t at = 0;
  words->clear();
  for (size_t i = 0; i < n; ++i) {
    size_t sp = line.find(' ', at);
    if (sp == std::string::npos || sp == at) return false;
    words->push_back(line.substr(at, sp - at));
    at = sp + 1;
  }
  *rest = line.substr(at);
  return true;
}

}  // namespace

bool Detach(const std::string& package, std::string* program, std::string* payload) {
  if (package.size() < 16 || std::memcmp(package.data() + package.size() - 8, kMagic, 8) != 0) return false;
  uint64_t n = 0;
  for (int i = 0; i < 8; ++i)
    n |= static_cast<uint64_t>(static_cast<unsigned char>(package[package.size() - 16 + i])) << (8 * i);
  if (n > package.size() - 16) return false;
  const size_t start = package.size() - 16 - static_cast<size_t>(n);
  if (program) *program = package.substr(0, start);
  if (payload) *payload = package.substr(start, static_cast<size_t>(n));
  return true;
}

bool SafeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > 700 || path.find("..") != std::string::npos) return false;
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == ':' || c == '\\' || c == '"' || c == 0x7F) return false;
  }
  size_t at = 0;
  bool first = true;
  while (true) {
    size_t slash = path.find('/', at);
    const std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    if (part.empty() || part == "." || release::IsWindowsMisreadName(part)) return false;
    if (first) {
      // The setup program's own files, whatever the letter case (Windows).
      if (release::SameAsciiText(part, kVersionStore) || release::SameAsciiText(part, kJournal) || release::SameAsciiText(part, kStagingDir) ||
          release::SameAsciiText(part.substr(0, std::strlen(kStagingDir)), kStagingDir))
        return false;
      first = false;
    }
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  return true;
}

bool IsSha256Text(const std::string& text) { return release::IsUpperHex64(text); }

std::string Sha256Of(const std::string& data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  return h.HexText();
}

bool ParseManifest(const std::string& text, Manifest* m, uint64_t* manifest_size, std::string* error) {
  *m = Manifest();
  size_t at = 0;
  bool ended = false, first = true;
  std::set<std::string> outputs, inputs, deletes, sources;
  auto fail = [&](const std::string& why) {
    *error = why;
    return false;
  };
  while (!ended) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) return fail("the manifest does not end");
    const std::string line = text.substr(at, nl - at);
    at = nl + 1;
    std::vector<std::string> w;
    std::string rest;
    if (first) {
      if (line != "RNWL-DELTA 1") return fail("not a release package manifest");
      first = false;
      continue;
    }
    auto path_ok = [&](const std::string& p) { return SafeRelativePath(p); };
    if (line == "end") {
      ended = true;
    } else if (Words(line, 1, &w, &rest) && w[0] == "version") {
      if (rest.empty() || rest.find(' ') != std::string::npos) return fail("bad version line");
      m->version = rest;
    } else if (w.size() == 1 && w[0] == "from") {
      if (rest.empty() || rest.find(' ') != std::string::npos) return fail("bad from line");
      m->from = rest;
    } else if (w.size() == 1 && w[0] == "delete") {
      if (!path_ok(rest)) return fail("refused path: " + rest);
      if (!deletes.insert(rest).second) return fail("deleted twice: " + rest);
      m->deletes.push_back(rest);
    } else if (Words(line, 2, &w, &rest) && w[0] == "input") {
      if (!IsSha256Text(w[1])) return fail("bad digest for " + rest);
      if (!path_ok(rest)) return fail("refused path: " + rest);
      if (!inputs.insert(rest).second) return fail("input twice: " + rest);
      m->inputs.emplace_back(rest, w[1]);
    } else if (Words(line, 3, &w, &rest) && w[0] == "output") {
      if (!IsSha256Text(w[1]) || (w[2] != "x" && w[2] != "-")) return fail("bad output line for " + rest);
      if (!path_ok(rest)) return fail("refused path: " + rest);
      if (!outputs.insert(rest).second) return fail("output twice: " + rest);
      m->outputs.push_back({rest, w[1], w[2] == "x"});
    } else if (Words(line, 3, &w, &rest) && (w[0] == "patch" || w[0] == "bdiff")) {
      // A difference file for Gleaner, or a binary difference: stored as is.
      Blob b;
      if (!Number(w[1], &b.offset) || !Number(w[2], &b.size)) return fail("bad " + w[0] + " line");
      b.raw = b.size;
      if (!path_ok(rest)) return fail("refused path: " + rest);
      (w[0] == "patch" ? m->patches : m->bdiffs).emplace_back(rest, b);
    } else if (Words(line, 4, &w, &rest) && w[0] == "whole") {
      Blob b;
      if (!Number(w[1], &b.offset) || !Number(w[2], &b.size) || !Number(w[3], &b.raw)) return fail("bad whole line");
      if (!path_ok(rest)) return fail("refused path: " + rest);
      m->wholes.emplace_back(rest, b);
    } else if (Words(line, 3, &w, &rest) && w[0] == "gleaner" && !m->has_gleaner) {
      if (!Number(w[1], &m->gleaner.offset) || !Number(w[2], &m->gleaner.size) || !Number(rest, &m->gleaner.raw))
        return fail("bad gleaner line");
      m->has_gleaner = true;
    } else {
      return fail("unknown manifest line: " + line);
    }
  }
  *manifest_size = at;
  if (m->version.empty()) return fail("the manifest names no version");
  if (!m->patches.empty() && !m->has_gleaner) return fail("difference files without the patch tool");
  if (m->from.empty() && (!m->inputs.empty() || !m->patches.empty() || !m->bdiffs.empty()))
    return fail("a full package with inputs");
  for (const auto* list : {&m->patches, &m->bdiffs}) {
    for (auto& [path, b] : *list) {
      if (!inputs.count(path)) return fail("no input digest for " + path);
      if (!sources.insert(path).second) return fail("two sources for " + path);
    }
  }
  for (auto& [path, b] : m->wholes)
    if (!sources.insert(path).second) return fail("two sources for " + path);
  if (sources != outputs) return fail("outputs and their sources differ");
  for (const std::string& d : m->deletes)
    if (outputs.count(d)) return fail("deleted and written: " + d);
  return true;
}

namespace {

// ".delta-setup/<process id>/<number>.new", nothing else.
bool IsStagedName(const std::string& name) {
  const std::string prefix = std::string(kStagingDir) + "/";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t slash = name.find('/', prefix.size());
  if (slash == std::string::npos || name.size() < slash + 5 || name.compare(name.size() - 4, 4, ".new") != 0)
    return false;
  uint64_t n = 0;
  return release::ParseDecimal(name.substr(prefix.size(), slash - prefix.size()), &n, UINT32_MAX) &&
         release::ParseDecimal(name.substr(slash + 1, name.size() - 4 - slash - 1), &n, 999999999);
}

}  // namespace

std::string JournalText(const Journal& j) {
  std::string t = std::string(kJournalHeader) + "\npackage " + j.manifest_sha256 + " " + j.version + " " +
                  (j.from.empty() ? "-" : j.from) + "\n";
  for (const std::string& d : j.deletes) t += "delete " + d + "\n";
  for (const JournalRename& r : j.renames)
    t += "rename " + r.staged + " " + r.sha256 + " " + (r.executable ? "x" : "-") + " " + r.path + "\n";
  return t + "end\n";
}

bool ParseJournal(const std::string& text, Journal* j, std::string* error) {
  *j = Journal();
  auto fail = [&](const std::string& why) {
    *error = why;
    return false;
  };
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) return fail("the journal does not end with a line end");
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  if (lines.empty() || lines.front() != kJournalHeader) {
    if (!lines.empty() && lines.front() == "commit") return fail("a journal of the first format, which names no package");
    return fail("not a committed journal");
  }
  if (lines.size() < 3 || lines.back() != "end") return fail("the journal does not end");
  std::vector<std::string> w;
  std::string rest;
  if (!Words(lines[1], 3, &w, &rest) || w[0] != "package" || !IsSha256Text(w[1]) || rest.empty() ||
      rest.find(' ') != std::string::npos)
    return fail("no package line");
  j->manifest_sha256 = w[1];
  j->version = w[2];
  j->from = rest == "-" ? std::string() : rest;
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (Words(l, 1, &w, &rest) && w[0] == "delete") {
      if (!SafeRelativePath(rest)) return fail("refused path: " + rest);
      j->deletes.push_back(rest);
    } else if (Words(l, 4, &w, &rest) && w[0] == "rename") {
      if (!IsStagedName(w[1]) || !IsSha256Text(w[2]) || (w[3] != "x" && w[3] != "-")) return fail("bad rename line");
      if (!SafeRelativePath(rest)) return fail("refused path: " + rest);
      j->renames.push_back({w[1], w[2], rest, w[3] == "x"});
    } else {
      return fail("unknown journal line: " + l);
    }
  }
  return true;
}

std::string ManifestSha256(const std::string& manifest_text) { return Sha256Of(manifest_text); }

bool JournalIsFor(const Journal& j, const Manifest& m, const std::string& manifest_sha256, std::string* why) {
  if (j.manifest_sha256 != manifest_sha256 || j.version != m.version || j.from != m.from) {
    *why = "it was written for another package (version " + j.version + (j.from.empty() ? "" : " from " + j.from) +
           ")";
    return false;
  }
  bool same = j.deletes == m.deletes && j.renames.size() == m.outputs.size();
  for (size_t i = 0; same && i < m.outputs.size(); ++i) {
    const JournalRename& r = j.renames[i];
    const Output& o = m.outputs[i];
    same = r.path == o.path && r.sha256 == o.sha256 && r.executable == o.executable;
  }
  if (!same) *why = "its renames and deletions are not the package's";
  return same;
}

bool Uncompress(const std::string& data, uint64_t raw, std::string* out) {
  if (raw > (uint64_t{1} << 31)) return false;
  out->assign(static_cast<size_t>(raw), '\0');
  uLongf size = static_cast<uLongf>(raw);
  Bytef dummy = 0;
  const int r = uncompress(raw ? reinterpret_cast<Bytef*>(&(*out)[0]) : &dummy, &size,
                           reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()));
  return r == Z_OK && size == raw;
}

}  // namespace delta_package
