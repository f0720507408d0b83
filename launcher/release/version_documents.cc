#include "launcher/release/version_documents.h"

#include "launcher/markup/markup_document.h"
#include "platform/file.h"

namespace release {
namespace {

constexpr char kLastVersionNum[] = "lastversionnum";
constexpr char kVersionRoot[] = "version";
constexpr char kMirrorUrl[] = "mirrorurl";

// The elements of version.xml with their places in the type, in the order
// they are written. `ordered` ones are read in a chain, each after the one
// before; the others by name.
struct Slot {
  const char* name;
  VersionInfo::Text VersionInfo::*field;
  bool ordered;
};
constexpr Slot kSlots[] = {
    {"versionnum", &VersionInfo::versionnum, true},
    {"packageurl", &VersionInfo::packageurl, true},
    {"packagemd5", &VersionInfo::packagemd5, true},
    {"updateself", &VersionInfo::updateself, true},
    {"fromversion", &VersionInfo::fromversion, true},
    {"packagesize", &VersionInfo::packagesize, true},
    {"packagesha256", &VersionInfo::packagesha256, true},
    {"fullpackageurl", &VersionInfo::fullpackageurl, false},
    {"fullpackagemd5", &VersionInfo::fullpackagemd5, false},
    {"fullpackagesize", &VersionInfo::fullpackagesize, false},
    {"fullpackagesha256", &VersionInfo::fullpackagesha256, false},
};

std::string Element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + text + "</" + name + ">\r\n";
}

}  // namespace

std::string WriteLatestVersion(const LatestVersion& doc) { return Element(kLastVersionNum, doc.lastversionnum); }

bool ParseLatestVersion(const std::string& text, LatestVersion* out) {
  MarkupDocument doc;
  doc.SetDoc(text.c_str());
  if (!doc.FindElem(kLastVersionNum)) return false;
  out->lastversionnum = doc.GetData();
  return true;
}

VersionInfo::Text* VersionInfo::Field(const std::string& element) {
  for (const Slot& s : kSlots)
    if (element == s.name) return &(this->*s.field);
  return nullptr;
}

std::string WriteVersionInfo(const VersionInfo& doc) {
  std::string out = std::string("<") + kVersionRoot + ">\r\n";
  for (const Slot& s : kSlots)
    if (const auto& v = doc.*s.field) out += Element(s.name, *v);
  for (const std::string& m : doc.mirrorurls) out += Element(kMirrorUrl, m);
  return out + "</" + kVersionRoot + ">\r\n";
}

bool ParseVersionInfo(const std::string& text, VersionInfo* out) {
  *out = VersionInfo();
  MarkupDocument doc;
  doc.SetDoc(text.c_str());
  if (!doc.FindElem(kVersionRoot) || !doc.IntoElem()) return false;
  // The chain: each found after the one before, none after a missing one.
  for (const Slot& s : kSlots) {
    if (!s.ordered) continue;
    if (!doc.FindElem(s.name)) break;
    out->*s.field = doc.GetData();
  }
  for (const Slot& s : kSlots) {
    if (s.ordered) continue;
    doc.ResetMainPos();
    if (doc.FindElem(s.name)) out->*s.field = doc.GetData();
  }
  doc.ResetMainPos();
  while (doc.FindElem(kMirrorUrl)) out->mirrorurls.push_back(doc.GetData());
  return true;
}

const char* FirstMissingSigned(const VersionInfo& doc) {
  for (const Slot& s : kSlots)
    if (s.ordered && !(doc.*s.field)) return s.name;
  return nullptr;
}

const char* FirstMissingFallback(const VersionInfo& doc) {
  for (const Slot& s : kSlots)
    if (!s.ordered && s.field != &VersionInfo::fullpackageurl && !(doc.*s.field)) return s.name;
  return nullptr;
}

const std::vector<std::string>& KnownElements() {
  static const std::vector<std::string>* names = [] {
    auto* v = new std::vector<std::string>{kLastVersionNum, kVersionRoot, kMirrorUrl};
    for (const Slot& s : kSlots) v->push_back(s.name);
    return v;
  }();
  return *names;
}

bool WriteDocumentFile(const std::string& path, const std::string& text, const SigningSeed* seed,
                       std::string* error) {
  if (!platform::WriteStringToFile(path, text)) {
    *error = "cannot write " + path;
    return false;
  }
  if (!seed) return true;
  Signature sig{};
  if (!Sign(*seed, text, &sig)) {
    *error = "cannot sign " + path;
    return false;
  }
  if (!platform::WriteStringToFile(path + kSignatureSuffix, SignatureFileText(sig))) {
    *error = "cannot write " + path + kSignatureSuffix;
    return false;
  }
  return true;
}

}  // namespace release
