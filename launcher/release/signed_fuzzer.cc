// What the launcher reads from the update server and its own settings before
// it trusts an update: detached signature files, the publisher's key list and
// the version documents. The first input byte picks the check, the rest is
// its input:
//   0  a signature file for a fixed signed document, under two fixed keys
//   1  a key list (and the same text as base64 and as a private key file)
//   2  a version document, read as latest-version.xml and as version.xml
//   3  a document, a NUL, then its signature file
// Only the publisher's own signatures may verify, and a document read and
// written back must read the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "launcher/release/signature.h"
#include "launcher/release/version_documents.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "signed_fuzzer: %s\n", what);
    std::abort();
  }
}

// The fixed publisher: two keys (an old and a new one), the two documents it
// signs, and the base64 of each signature.
struct Publisher {
  PublisherKeys keys;
  std::string latest, info;
  std::vector<std::string> latest_sigs, info_sigs;
};

const Publisher& FixedPublisher() {
  static const Publisher* p = [] {
    auto* out = new Publisher;
    SigningSeeds seeds(2);
    for (size_t k = 0; k < seeds.size(); ++k)
      for (size_t i = 0; i < seeds[k].size(); ++i) seeds[k][i] = static_cast<uint8_t>(1 + i + 32 * k);
    release::LatestVersion latest{"1.0.0.3", "12", "2026-12-15T10:00:00Z"};
    out->latest = release::WriteLatestVersion(latest);
    release::VersionInfo info;
    info.versionnum = "1.0.0.3";
    info.packageurl = "http://127.0.0.1/1.0.0.2/package.exe";
    info.packagemd5 = "0123456789ABCDEF0123456789ABCDEF";
    info.updateself = "0";
    info.fromversion = "1.0.0.2";
    info.packagesize = "1024";
    info.packagesha256 = std::string(64, 'A');
    info.serial = "12";
    info.mirrorurls = {"http://127.0.0.1:8080/1.0.0.2/package.exe"};
    out->info = release::WriteVersionInfo(info);
    for (const SigningSeed& seed : seeds) {
      PublisherKey key;
      Signature sig;
      if (!PublicKeyOfSeed(seed, &key)) std::abort();
      out->keys.push_back(key);
      if (!Sign(seed, out->latest, &sig)) std::abort();
      out->latest_sigs.push_back(EncodeBase64(sig.data(), sig.size()));
      if (!Sign(seed, out->info, &sig)) std::abort();
      out->info_sigs.push_back(EncodeBase64(sig.data(), sig.size()));
    }
    return out;
  }();
  return *p;
}

// True when `text` holds one of `sigs` as a line of its own.
bool HoldsLine(const std::string& text, const std::vector<std::string>& sigs) {
  for (const std::string& s : sigs) {
    for (size_t at = text.find(s); at != std::string::npos; at = text.find(s, at + 1)) {
      const size_t end = at + s.size();
      if ((at == 0 || text[at - 1] == '\n') && (end == text.size() || text[end] == '\n' || text[end] == '\r' ||
                                                 text[end] == ' ' || text[end] == '\t'))
        return true;
    }
  }
  return false;
}

// A text the documents carry as is: no markup, no line ends, no blanks at
// either end (which a reader may drop).
bool Plain(const std::string& s) {
  if (s.empty() || s.front() == ' ' || s.back() == ' ') return false;
  for (unsigned char c : s)
    if (c < 0x20 || c >= 0x7F || c == '<' || c == '>' || c == '&' || c == '"' || c == '\'') return false;
  return true;
}

bool Plain(const std::optional<std::string>& s) { return !s || Plain(*s); }

void CheckDocuments(const std::string& text) {
  release::LatestVersion latest;
  if (release::ParseLatestVersion(text, &latest) && Plain(latest.lastversionnum) && Plain(latest.serial) &&
      Plain(latest.expires)) {
    release::LatestVersion again;
    Check(release::ParseLatestVersion(release::WriteLatestVersion(latest), &again) && again == latest,
          "latest-version.xml written back reads otherwise");
  }
  release::VersionInfo info;
  if (release::ParseVersionInfo(text, &info)) {
    (void)release::FirstMissingSigned(info);
    if (info.fullpackageurl) (void)release::FirstMissingFallback(info);
    bool plain = true;
    for (const std::string& name : release::KnownElements())
      if (const release::VersionInfo::Text* t = info.Field(name)) plain = plain && Plain(*t);
    for (const std::string& m : info.mirrorurls) plain = plain && Plain(m);
    // The four are read in order: one missing hides those after it, which the
    // writer would then write where the reader finds them.
    bool chain_whole = true, seen_missing = false;
    for (const auto* t : {&info.versionnum, &info.packageurl, &info.packagemd5, &info.updateself,
                          &info.fromversion, &info.packagesize, &info.packagesha256}) {
      if (!*t) seen_missing = true;
      else if (seen_missing) chain_whole = false;
    }
    if (plain && chain_whole) {
      release::VersionInfo again;
      Check(release::ParseVersionInfo(release::WriteVersionInfo(info), &again) && again == info,
            "version.xml written back reads otherwise");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const Publisher& p = FixedPublisher();
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      if (VerifyDetached(p.keys, p.latest, text)) Check(HoldsLine(text, p.latest_sigs), "a forged signature verified");
      break;
    case 1: {
      PublisherKeys keys = {p.keys[0]};
      if (DecodePublicKeys(text, &keys)) {
        Check(!keys.empty() && keys.size() <= kMaxPublisherKeys, "key count");
        size_t at = 0;
        for (const PublisherKey& k : keys) {
          at = text.find(EncodePublicKey(k), at);
          Check(at != std::string::npos, "a key not in the list");
          at += 44;
        }
      } else {
        Check(keys.size() == 1 && keys[0] == p.keys[0], "a refused list changed the keys");
      }
      std::string raw;
      if (DecodeBase64(text, &raw)) Check(EncodeBase64(raw.data(), raw.size()) == text, "base64 not canonical");
      SigningSeed seed;
      (void)DecodeSeedFile(text, &seed);
      break;
    }
    case 2:
      CheckDocuments(text);
      break;
    case 3: {
      const size_t nul = text.find('\0');
      if (nul == std::string::npos) break;
      const std::string doc = text.substr(0, nul), sig = text.substr(nul + 1);
      if (VerifyDetached(p.keys, doc, sig)) {
        Check((doc == p.latest && HoldsLine(sig, p.latest_sigs)) || (doc == p.info && HoldsLine(sig, p.info_sigs)),
              "a document verified that the publisher did not sign");
        CheckDocuments(doc);
      }
      break;
    }
  }
  return 0;
}
