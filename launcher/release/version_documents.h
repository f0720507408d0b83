// The version documents the publisher serves and the launcher reads: the one
// place their element names are spelt, their one writer and one reader each,
// and the writing of a document with its detached signature.
//
// latest-version.xml:
//   <lastversionnum>1.0.0.3</lastversionnum>
//   <serial>12</serial>                          signed trees: the publication's
//   <expires>2026-12-15T10:00:00Z</expires>      number, and when it goes stale
//   <availablefrom>2026-12-12T18:00:00Z</availablefrom>   optional: before
//                                                this time launchers pre-load
//                                                the newest version's package
//                                                and install it from then on
//   <rollout>10</rollout>                        optional, signed or not: the
//   <heldversionnum>1.0.0.2</heldversionnum>     percent of installs that take
//                                                lastversionnum, and the newest
//                                                for the others
//
// <from>/version.xml, the step from version <from>:
//   <version>
//     versionnum packageurl packagemd5 updateself      the four, in this order
//     fromversion packagesize packagesha256            signed trees, after them
//     packageblocks                                    signed, optional: the
//                                                      SHA-256 of each block
//     serial                                           signed: the publication's
//     fullpackageurl fullpackagemd5                    the fallback, optional
//     fullpackagesize fullpackagesha256                the fallback, signed
//     fullpackageblocks                                the fallback's blocks
//     mirrorurl ...                                    optional, any number
//   </version>
// Each element on a line of its own, lines ending in CR LF. Texts are written
// as given (the values the format holds need no escaping).
//
// How they are read, which stored documents and older launchers rely on: the
// four are found in order, each after the one before; the signed three
// likewise, after updateself; the serial, the fallback's four and the
// mirrors by name, wherever they stand among the children of <version>; so
// are packageblocks and fullpackageblocks, which older launchers pass over
// and which a document may leave out (it was published before them). In
// latest-version.xml serial and expires follow lastversionnum, in this
// order; rollout, heldversionnum and availablefrom are found by name among
// the top-level elements. A reader takes an element it does not know for an optional one and
// passes over it (older launchers pass over serial and expires).
//
// packageblocks (fullpackageblocks likewise, of the fallback) cuts the
// package into kPackageBlockSize blocks, the last one shorter when the size
// is no multiple of it, and gives each block's SHA-256 as 64 upper-case
// hexadecimal digits, in file order, separated by single blanks:
//   <packageblocks>3A...9F 07...C2 E1...40</packageblocks>
// A package of N bytes has exactly ceil(N / kPackageBlockSize) of them (none
// for an empty one); ParsePackageBlocks refuses a list of any other count, so
// the list is bounded by the signed size. The download job checks each block
// as it arrives (win_dl_net/segment_policy.h).
//
// Nothing else here checks what the texts say (versions, sizes, digests):
// the engine and the publisher's verify do, each with its own report.
#ifndef LAUNCHER_RELEASE_VERSION_DOCUMENTS_H_
#define LAUNCHER_RELEASE_VERSION_DOCUMENTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "launcher/release/signature.h"

namespace release {

// The served names of the documents, relative to the version root.
inline constexpr char kLatestVersionFile[] = "latest-version.xml";
inline constexpr char kVersionInfoFile[] = "version.xml";  // under <from>/
// A signed document's detached signature: its address followed by this.
inline constexpr char kSignatureSuffix[] = ".sig";

struct LatestVersion {
  std::string lastversionnum;
  // Written and read as texts; the engine checks them (ParseDecimal,
  // ParseUtcTime of text.h).
  std::optional<std::string> serial, expires;
  // A staged rollout (launcher/release/rollout.h): percent 0-100 as text,
  // and the version installs outside it treat as the newest.
  std::optional<std::string> rollout, heldversionnum;
  // When the newest version may be installed (ParseUtcTime); absent: now.
  std::optional<std::string> availablefrom;
  bool operator==(const LatestVersion&) const = default;
};

std::string WriteLatestVersion(const LatestVersion& doc);
// False when the document names no lastversionnum.
bool ParseLatestVersion(const std::string& text, LatestVersion* out);

// A version.xml. Every element is optional in the type, so that a publisher's
// test tree can leave one out; the writer writes those present.
struct VersionInfo {
  using Text = std::optional<std::string>;
  Text versionnum, packageurl, packagemd5, updateself;  // the four
  Text fromversion, packagesize, packagesha256;         // signed
  Text packageblocks;                                   // signed, by name
  Text serial;                                          // signed, by name
  Text fullpackageurl, fullpackagemd5, fullpackagesize, fullpackagesha256;
  Text fullpackageblocks;                               // signed, by name
  std::vector<std::string> mirrorurls;

  // The four read in order (what every launcher requires).
  bool HasFour() const { return versionnum && packageurl && packagemd5 && updateself; }
  // The element of this name, for tools that leave out or replace elements
  // by name; null for a name the document does not have.
  Text* Field(const std::string& element);
  bool operator==(const VersionInfo&) const = default;
};

std::string WriteVersionInfo(const VersionInfo& doc);
// False when the text has no <version> root; otherwise fills what it finds,
// as the header says.
bool ParseVersionInfo(const std::string& text, VersionInfo* out);

// The first of the seven elements a signed version.xml carries in order (the
// four, then the signed three) that `doc` lacks; null when it has them all.
const char* FirstMissingSigned(const VersionInfo& doc);
// For a signed document naming fullpackageurl: the first of the fallback's
// other elements it lacks (fullpackagemd5, fullpackagesize,
// fullpackagesha256); null when it has them all.
const char* FirstMissingFallback(const VersionInfo& doc);

// The blocks of packageblocks: 4 MiB each, the last one shorter.
inline constexpr uint32_t kPackageBlockSize = 4 * 1024 * 1024;
// The most blocks a list may have: the download job takes packages below
// 4 GiB.
inline constexpr uint64_t kMaxPackageBlocks = 1024;
// The number of blocks of a package of `size` bytes.
uint64_t PackageBlockCount(uint64_t size);
// The packageblocks text of a package's bytes.
std::string PackageBlocksOf(const std::string& package);
// The text of a list of digests (64 upper-case hexadecimal digits each).
std::string WritePackageBlocks(const std::vector<std::string>& digests);
// Reads a packageblocks text for a package of `size` bytes into *digests.
// False (and *digests empty) unless it is exactly PackageBlockCount(size)
// digests, each 64 upper-case hexadecimal digits, separated by single
// blanks, and the count is at most kMaxPackageBlocks.
bool ParsePackageBlocks(const std::string& text, uint64_t size, std::vector<std::string>* digests);

// Every element name the writers may emit (and so the readers must know).
const std::vector<std::string>& KnownElements();

// Writes `text` to `path` and, with seeds, its detached signature to
// path + kSignatureSuffix: a line per seed, in their order. For a tree that
// is served while it is written: each file is replaced whole through a
// temporary beside it (platform::ReplaceFileThroughTemporary), one that holds
// these bytes already is left alone, and the signature goes first, so that a
// reader who fetches the document and then its signature never pairs the new
// document with the old signature. (The other pairing, the old document with
// the new signature, lasts from one rename to the next; it fails the check,
// and the launcher tries again on its next run.) False with *error naming
// the file; a failure before the document's rename leaves the document as
// it was.
bool WriteDocumentFile(const std::string& path, const std::string& text, const SigningSeeds& seeds,
                       std::string* error);

// One file of a served tree: left alone when it holds `data` already, else
// replaced whole through a temporary beside it. False with *error naming
// the file.
bool ReplaceServedFile(const std::string& path, const std::string& data, std::string* error);

}  // namespace release

#endif  // LAUNCHER_RELEASE_VERSION_DOCUMENTS_H_
