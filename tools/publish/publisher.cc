#include "tools/publish/publisher.h"

#include <algorithm>
#include <sstream>

#include "launcher/markup/markup_document.h"
#include "launcher/update/digest.h"
#include "platform/file.h"
#include "platform/owner_file.h"
#include "platform/path.h"

namespace publisher {
namespace {

std::string Element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + text + "</" + name + ">\r\n";
}

// Writes a document and, with a seed, its detached signature.
bool WriteDocument(const std::string& path, const std::string& doc, const SigningSeed* seed, std::string* error) {
  if (!platform::WriteStringToFile(path, doc)) {
    *error = "cannot write " + path;
    return false;
  }
  if (!seed) return true;
  Signature sig{};
  if (!Sign(*seed, doc, &sig)) {
    *error = "cannot sign " + path;
    return false;
  }
  if (!platform::WriteStringToFile(path + ".sig", SignatureFileText(sig))) {
    *error = "cannot write " + path + ".sig";
    return false;
  }
  return true;
}

bool Decimal(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

// Checks D against D.sig; false with a problem line when it does not verify.
bool CheckSignature(const std::string& path, const std::string& shown, const std::string& doc,
                    const PublisherKey& key, std::vector<std::string>* problems) {
  std::string sig;
  if (!platform::ReadFileToString(path + ".sig", &sig)) {
    problems->push_back(shown + ": no signature file " + shown + ".sig");
    return false;
  }
  if (!VerifyDetached(key, doc, sig)) {
    problems->push_back(shown + ": signature does not verify with the given key");
    return false;
  }
  return true;
}

// Checks one published package against its address, size and digests.
// `prefix` names its elements: "" for the package, "full" for the fallback.
void CheckPackage(const std::string& root, const std::string& shown, const std::string& url,
                  const std::string& sha1_text, const std::string& size_text, const std::string& sha256_text,
                  const std::string& prefix, std::vector<std::string>* problems) {
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
  int64_t size = 0;
  if (!Decimal(size_text, &size)) problems->push_back(shown + ": " + prefix + "packagesize " + size_text + " is not a decimal number");
  int64_t actual = platform::FileSize(package);
  if (actual < 0) {
    problems->push_back(shown + ": package " + rel + " is missing");
    return;
  }
  if (actual != size) problems->push_back(rel + ": size " + std::to_string(actual) + ", published " + size_text);
  if (!VerifyPackage(package, sha1_text)) problems->push_back(rel + ": SHA-1 differs from " + prefix + "packagemd5");
  std::string sha256;
  if (!Sha256File(package, &sha256) || sha256 != sha256_text) {
    problems->push_back(rel + ": SHA-256 differs from " + prefix + "packagesha256");
  }
  // packages/<64 hex digits>/<name>: the directory is the content's SHA-256.
  const std::string middle = rel.substr(9, rel.find('/', 9) == std::string::npos ? 0 : rel.find('/', 9) - 9);
  if (middle.size() == 64 && middle.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos &&
      middle != sha256) {
    problems->push_back(rel + ": the address names another SHA-256 than the package's");
  }
}

void CheckVersionDocument(const std::string& root, const std::string& dir, const PublisherKey& key,
                          std::vector<std::string>* problems) {
  const std::string shown = dir + "/version.xml";
  const std::string path = platform::JoinPath(root + dir, "version.xml");
  std::string doc;
  if (!platform::ReadFileToString(path, &doc)) {
    problems->push_back(shown + ": cannot read");
    return;
  }
  CheckSignature(path, shown, doc, key, problems);

  // The elements in the order the launcher reads them.
  static const char* const kNames[] = {"versionnum", "packageurl",  "packagemd5",   "updateself",
                                       "fromversion", "packagesize", "packagesha256"};
  MarkupDocument xml;
  xml.SetDoc(std::string_view(doc));
  std::string value[7];
  if (!xml.FindElem("version") || !xml.IntoElem()) {
    problems->push_back(shown + ": no version element");
    return;
  }
  for (int i = 0; i < 7; ++i) {
    if (!xml.FindElem(kNames[i])) {
      problems->push_back(shown + ": no " + kNames[i] + " element (in order)");
      return;
    }
    value[i] = xml.GetData();
  }
  if (value[4] != dir) problems->push_back(shown + ": fromversion " + value[4] + " is not its directory " + dir);
  CheckPackage(root, shown, value[1], value[2], value[5], value[6], "", problems);

  // The fallback to the full package, when published.
  static const char* const kFull[] = {"fullpackageurl", "fullpackagemd5", "fullpackagesize", "fullpackagesha256"};
  std::string full[4];
  // Found by name: other optional elements (mirrors) may stand between them.
  xml.ResetMainPos();
  if (!xml.FindElem(kFull[0])) return;
  full[0] = xml.GetData();
  for (int i = 1; i < 4; ++i) {
    xml.ResetMainPos();
    if (!xml.FindElem(kFull[i])) {
      problems->push_back(shown + ": fullpackageurl without " + kFull[i]);
      return;
    }
    full[i] = xml.GetData();
  }
  CheckPackage(root, shown, full[0], full[1], full[2], full[3], "full", problems);
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
  if (!platform::WriteStringToFile(path, *bytes)) {
    *error = "cannot write " + path;
    return false;
  }
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
// package and gives the version.xml elements that name it.
bool WriteFullPackage(const Description& d, const Package& p, const std::string& program, const std::string& out,
                      bool is_signed, std::string* elements, std::vector<std::string>* lines, std::string* error) {
  const FullPackage& f = p.full;
  const std::string name = "full_" + p.from + "_to_" + p.to + platform::kExeSuffix;
  std::string bytes, sha1, sha256;
  if (!WriteSamplePackage(program, p.to, f.cancel, p.files, out, name, &bytes, &sha1, &sha256, error)) return false;
  auto keep = [&](const char* e) { return std::find(f.omit.begin(), f.omit.end(), e) == f.omit.end(); };
  if (keep("fullpackageurl")) *elements += Element("fullpackageurl", d.url + "packages/" + name);
  if (keep("fullpackagemd5")) *elements += Element("fullpackagemd5", f.digest.empty() ? sha1 : f.digest);
  if (is_signed) {
    if (keep("fullpackagesize"))
      *elements += Element("fullpackagesize", f.size.empty() ? std::to_string(bytes.size()) : f.size);
    if (keep("fullpackagesha256"))
      *elements += Element("fullpackagesha256", f.sha256.empty() ? sha256 : f.sha256);
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
                 const SigningSeed* seed, std::vector<std::string>* lines, std::string* error) {
  const std::string out = platform::JoinPath(out_dir, "");
  platform::MakeDirectories(out + "packages");
  if (!WriteDocument(out + "latest-version.xml", Element("lastversionnum", d.latest), seed, error)) return false;
  for (const Package& p : d.packages) {
    const std::string name = "update_" + p.from + "_to_" + p.to + platform::kExeSuffix;
    std::string bytes, sha1, sha256;
    if (!WriteSamplePackage(program, p.to, p.cancel, p.files, out, name, &bytes, &sha1, &sha256, error)) return false;
    auto keep = [&](const char* e) { return std::find(p.omit.begin(), p.omit.end(), e) == p.omit.end(); };
    std::string doc = "<version>\r\n";
    if (keep("versionnum")) doc += Element("versionnum", p.to);
    if (keep("packageurl")) doc += Element("packageurl", d.url + "packages/" + name);
    if (keep("packagemd5")) doc += Element("packagemd5", p.digest.empty() ? sha1 : p.digest);
    if (keep("updateself")) doc += Element("updateself", p.updateself);
    if (seed) {
      if (keep("fromversion")) doc += Element("fromversion", p.from);
      if (keep("packagesize")) doc += Element("packagesize", p.size.empty() ? std::to_string(bytes.size()) : p.size);
      if (keep("packagesha256")) doc += Element("packagesha256", p.sha256.empty() ? sha256 : p.sha256);
    }
    std::vector<std::string> full_line;
    if (p.full.present && !WriteFullPackage(d, p, program, out, seed != nullptr, &doc, &full_line, error)) return false;
    doc += "</version>\r\n";
    platform::MakeDirectories(out + p.from);
    if (!WriteDocument(platform::JoinPath(out + p.from, "version.xml"), doc, seed, error)) return false;
    lines->push_back(p.from + " -> " + p.to + "  " + name + "  " + std::to_string(bytes.size()) + " bytes");
    lines->insert(lines->end(), full_line.begin(), full_line.end());
  }
  return true;
}

bool VerifyTree(const std::string& out_dir, const PublisherKey& key, std::vector<std::string>* problems) {
  const size_t before = problems->size();
  const std::string root = platform::JoinPath(out_dir, "");
  std::string latest;
  if (!platform::ReadFileToString(root + "latest-version.xml", &latest)) {
    problems->push_back("latest-version.xml: cannot read");
  } else {
    CheckSignature(root + "latest-version.xml", "latest-version.xml", latest, key, problems);
  }
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(root, &entries);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const platform::DirEntry& e : entries) {
    if (!e.is_directory || e.name == "." || e.name == ".." || e.name == "packages") continue;
    if (!platform::Exists(platform::JoinPath(root + e.name, "version.xml"))) continue;
    CheckVersionDocument(root, e.name, key, problems);
  }
  return problems->size() == before;
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
    *error = "cannot create " + key_file + " (it must not exist yet)";
    return false;
  }
  *public_key_text = EncodePublicKey(key);
  return true;
}

bool ReadKeyFile(const std::string& key_file, SigningSeed* seed, std::string* error) {
  std::string text;
  if (!platform::ReadFileToString(key_file, &text)) {
    *error = "cannot read key file " + key_file;
    return false;
  }
  bool ok = DecodeSeedFile(text, seed);
  std::fill(text.begin(), text.end(), '\0');
  if (!ok) *error = "key file " + key_file + " does not hold a private key";
  return ok;
}

}  // namespace publisher
