#include "launcher/release/version_documents.h"

#include <algorithm>

#include "launcher/markup/markup_document.h"
#include "launcher/release/sha256.h"
#include "launcher/release/text.h"
#include "platform/file.h"

namespace release {
namespace {

constexpr char kLastVersionNum[] = "lastversionnum";
constexpr char kSerial[] = "serial";
constexpr char kExpires[] = "expires";
constexpr char kAvailableFrom[] = "availablefrom";
constexpr char kRollout[] = "rollout";
constexpr char kHeldVersionNum[] = "heldversionnum";
constexpr char kVersionRoot[] = "version";
constexpr char kMirrorUrl[] = "mirrorurl";

// The elements of version.xml with their places in the type, in the order
// they are written. kChain ones are read in a chain, each after the one
// before; the others by name.
enum SlotKind { kChain, kByName, kFallback };
struct Slot {
  const char* name;
  VersionInfo::Text VersionInfo::*field;
  SlotKind kind;
};
constexpr Slot kSlots[] = {
    {"versionnum", &VersionInfo::versionnum, kChain},
    {"packageurl", &VersionInfo::packageurl, kChain},
    {"packagemd5", &VersionInfo::packagemd5, kChain},
    {"updateself", &VersionInfo::updateself, kChain},
    {"fromversion", &VersionInfo::fromversion, kChain},
    {"packagesize", &VersionInfo::packagesize, kChain},
    {"packagesha256", &VersionInfo::packagesha256, kChain},
    {"packageblocks", &VersionInfo::packageblocks, kByName},
    {kSerial, &VersionInfo::serial, kByName},
    {"fullpackageurl", &VersionInfo::fullpackageurl, kFallback},
    {"fullpackagemd5", &VersionInfo::fullpackagemd5, kFallback},
    {"fullpackagesize", &VersionInfo::fullpackagesize, kFallback},
    {"fullpackagesha256", &VersionInfo::fullpackagesha256, kFallback},
    {"fullpackageblocks", &VersionInfo::fullpackageblocks, kByName},
};

std::string Element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + text + "</" + name + ">\r\n";
}

}  // namespace

std::string WriteLatestVersion(const LatestVersion& doc) {
  std::string out = Element(kLastVersionNum, doc.lastversionnum);
  if (doc.serial) out += Element(kSerial, *doc.serial);
  if (doc.expires) out += Element(kExpires, *doc.expires);
  if (doc.availablefrom) out += Element(kAvailableFrom, *doc.availablefrom);
  if (doc.rollout) out += Element(kRollout, *doc.rollout);
  if (doc.heldversionnum) out += Element(kHeldVersionNum, *doc.heldversionnum);
  return out;
}

bool ParseLatestVersion(const std::string& text, LatestVersion* out) {
  *out = LatestVersion();
  MarkupDocument doc;
  doc.SetDoc(text.c_str());
  if (!doc.FindElem(kLastVersionNum)) return false;
  out->lastversionnum = doc.GetData();
  if (doc.FindElem(kSerial)) {
    out->serial = doc.GetData();
    if (doc.FindElem(kExpires)) out->expires = doc.GetData();
  }
  // The elements read by name, wherever they stand.
  doc.ResetMainPos();
  if (doc.FindElem(kAvailableFrom)) out->availablefrom = doc.GetData();
  // By name, so that an unsigned tree (no serial or expiry) may carry them.
  doc.ResetMainPos();
  if (doc.FindElem(kRollout)) out->rollout = doc.GetData();
  doc.ResetMainPos();
  if (doc.FindElem(kHeldVersionNum)) out->heldversionnum = doc.GetData();
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
    if (s.kind != kChain) continue;
    if (!doc.FindElem(s.name)) break;
    out->*s.field = doc.GetData();
  }
  for (const Slot& s : kSlots) {
    if (s.kind == kChain) continue;
    doc.ResetMainPos();
    if (doc.FindElem(s.name)) out->*s.field = doc.GetData();
  }
  doc.ResetMainPos();
  while (doc.FindElem(kMirrorUrl)) out->mirrorurls.push_back(doc.GetData());
  return true;
}

const char* FirstMissingSigned(const VersionInfo& doc) {
  for (const Slot& s : kSlots)
    if (s.kind == kChain && !(doc.*s.field)) return s.name;
  return nullptr;
}

const char* FirstMissingFallback(const VersionInfo& doc) {
  for (const Slot& s : kSlots)
    if (s.kind == kFallback && s.field != &VersionInfo::fullpackageurl && !(doc.*s.field)) return s.name;
  return nullptr;
}

uint64_t PackageBlockCount(uint64_t size) { return size / kPackageBlockSize + (size % kPackageBlockSize != 0); }

std::string PackageBlocksOf(const std::string& package) {
  std::vector<std::string> digests;
  for (size_t at = 0; at < package.size(); at += kPackageBlockSize) {
    Sha256 block;
    block.Update(package.data() + at, std::min<size_t>(kPackageBlockSize, package.size() - at));
    digests.push_back(block.HexText());
  }
  return WritePackageBlocks(digests);
}

std::string WritePackageBlocks(const std::vector<std::string>& digests) {
  std::string out;
  for (const std::string& d : digests) out += (out.empty() ? "" : " ") + d;
  return out;
}

bool ParsePackageBlocks(const std::string& text, uint64_t size, std::vector<std::string>* digests) {
  digests->clear();
  const uint64_t count = PackageBlockCount(size);
  if (count > kMaxPackageBlocks) return false;
  // 64 digits a block and a blank between two: the length alone bounds the
  // list before it is cut up.
  if (text.size() != (count == 0 ? 0 : count * 65 - 1)) return false;
  std::vector<std::string> out;
  for (uint64_t k = 0; k < count; ++k) {
    const size_t at = static_cast<size_t>(k * 65);
    if (k > 0 && text[at - 1] != ' ') return false;
    out.push_back(text.substr(at, 64));
    if (!IsUpperHex64(out.back())) return false;
  }
  *digests = std::move(out);
  return true;
}

const std::vector<std::string>& KnownElements() {
  static const std::vector<std::string>* names = [] {
    auto* v = new std::vector<std::string>{kLastVersionNum, kExpires,        kAvailableFrom, kRollout,
                                           kHeldVersionNum, kVersionRoot,    kMirrorUrl};
    for (const Slot& s : kSlots) v->push_back(s.name);  // serial among them
    return v;
  }();
  return *names;
}

bool ReplaceServedFile(const std::string& path, const std::string& data, std::string* error) {
  std::string now;
  if (platform::ReadFileToString(path, &now) && now == data) return true;
  const platform::Status s = platform::ReplaceFileThroughTemporary(path, data);
  if (s.ok()) return true;
  *error = "cannot write " + path + (s.text().empty() ? std::string() : " (" + s.text() + ")");
  return false;
}

bool WriteDocumentFile(const std::string& path, const std::string& text, const SigningSeeds& seeds,
                       std::string* error) {
  if (!seeds.empty()) {
    std::vector<Signature> sigs(seeds.size());
    for (size_t i = 0; i < seeds.size(); ++i) {
      if (!Sign(seeds[i], text, &sigs[i])) {
        *error = "cannot sign " + path;
        return false;
      }
    }
    // The signature before the document: a reader who finds the new
    // document finds its signature too.
    if (!ReplaceServedFile(path + kSignatureSuffix, SignatureFileText(sigs), error)) return false;
  }
  return ReplaceServedFile(path, text, error);
}

}  // namespace release
