// The publisher tool's work: reading a chain description, writing the
// version-information tree (signed when given a key), making keys and
// checking a published tree against a public key.
#ifndef PUBLISHER_PUBLISH_PUBLISHER_H_
#define PUBLISHER_PUBLISH_PUBLISHER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "launcher/release/signature.h"
#include "platform/path.h"
#include "launcher/release/version_documents.h"
#include "testing/sample_setup/package_format.h"

namespace publisher {

// A full package for the same step as a package, named in its version.xml
// as the fallback (fullpackageurl, fullpackagemd5 and, signed,
// fullpackagesize and fullpackagesha256). It installs the same files.
struct FullPackage {
  bool present = false;
  bool cancel = false;
  // Published in place of the real values when not empty (tests of faults).
  std::string digest, sha256, size;
  std::vector<std::string> omit;
};

struct Package {
  Package() = default;
  Package(std::string f, std::string t) : from(std::move(f)), to(std::move(t)) {}
  std::string from, to, updateself = "false";
  bool cancel = false;
  // Published in place of the real values when not empty (tests of faults).
  std::string digest, sha256, size;
  std::vector<sample_package::File> files;
  std::vector<std::string> omit;
  FullPackage full;
};

// One publication: who signs it (no seeds: an unsigned tree), its serial
// (larger with every publication of the tree) and when its
// latest-version.xml goes stale ("YYYY-MM-DDTHH:MM:SSZ").
struct Publication {
  SigningSeeds seeds;
  uint64_t serial = 1;
  std::string expires;
  // When the newest version may be installed ("YYYY-MM-DDTHH:MM:SSZ");
  // empty: at once. Until then launchers pre-load it.
  std::string available_from;
  // BuildRelease: the percent of installs the newest version goes to (see
  // launcher/release/rollout.h); -1 for every install, as before rollouts.
  int rollout = -1;
  // Publishes even when the newest version moves backwards (CheckNewest).
  bool force = false;
  // The release builder: base addresses (ending in '/') that serve a copy
  // of the tree; each version.xml names its packages there too (mirrorurl).
  std::vector<std::string> mirrors;
  bool Signed() const { return !seeds.empty(); }
};

// How long a publication stays fresh unless told otherwise.
constexpr int kDefaultValidDays = 7;

// latest-version.xml of a publication naming `version`: dated when signed,
// with its availablefrom when it has one (signed or not).
release::LatestVersion LatestOf(const std::string& version, const Publication& pub);

// The serial and expiry of the next publication into `out_dir`: one more
// than the serial of the latest-version.xml there (1 when there is none, or
// it carries none), expiring `valid_days` days (1 to 3650) from now. False
// with *error when the tree's latest-version.xml cannot be read as one.
bool NextPublication(const std::string& out_dir, int valid_days, Publication* pub, std::string* error);

// The latest-version.xml of the tree at `dir`, read and parsed, and its text
// in *text when asked; false when there is none or it does not read as one.
bool ReadTreeLatest(const std::string& dir, release::LatestVersion* latest, std::string* text = nullptr);

// A version text: four dot-separated decimal numbers of at most nine digits
// each, into `parts`. False for anything else.
bool ParseVersion(const std::string& text, std::vector<uint64_t>* parts);

// Whether a publication naming `newest` may go into `out_dir`: false with
// *error naming both versions when the tree's latest-version.xml names a
// newer version (players there would be told to go back), or one that is no
// version text, unless pub.force. A tree without latest-version.xml may
// take any version.
bool CheckNewest(const std::string& out_dir, const std::string& newest, const Publication& pub, std::string* error);

// How WriteTreeFile treats a file that exists with other bytes.
enum class Existing {
  kReplace,  // a file named by its role (a document, a package of a chain)
  kRefuse,   // a content-addressed package: its name promises its bytes
};

// Writes `bytes` as the file `path` of a tree that may be served while it is
// written: left alone when it holds these bytes already (compared by
// SHA-256), otherwise written whole to a temporary beside it and renamed
// over it (platform::ReplaceFileThroughTemporary). With Existing::kRefuse a
// file that holds other bytes is an error and stays as it is. False with
// *error.
bool WriteTreeFile(const std::string& path, const std::string& bytes, Existing existing, std::string* error);

struct Description {
  std::string url, setup, latest;
  // "rollout <percent> <held>": written into latest-version.xml as given.
  std::string rollout, held;
  std::vector<Package> packages;
};

// Reads a description file (format in publish.cc). False with *error set.
bool ReadDescription(const std::string& path, Description* out, std::string* error);

// Writes latest-version.xml, <from>/version.xml of each package and
// packages/<name> into `out_dir`, building the packages from the setup
// program bytes `program`: the packages first, then the version.xml
// documents, latest-version.xml last, each file through WriteTreeFile (or
// release::WriteDocumentFile), after CheckNewest. Signed, every document is also signed (D.sig
// beside D) and each version.xml carries fromversion, packagesize and
// packagesha256 after its four elements; unsigned, the tree is the plain one.
// Signed, latest-version.xml also carries the publication's serial and
// expiry and each version.xml its serial. `lines` receives one summary line
// per package.
bool PublishTree(const Description& d, const std::string& program, const std::string& out_dir,
                 const Publication& pub, std::vector<std::string>* lines, std::string* error);

// Re-signs a published tree as publication `pub`: latest-version.xml and
// every <dir>/version.xml get its serial (and latest-version.xml its expiry)
// and new signatures, every <dir>/files.txt new signatures; nothing else
// changes. For publishers to run on a
// schedule, so that a tree without new versions does not go stale.
// With `edit`, latest-version.xml is changed by it as well (after every
// document has been read, before any is written); false from it (with
// *error) ends the refresh with nothing written.
using LatestEdit = std::function<bool(release::LatestVersion* latest, std::string* error)>;
bool RefreshTree(const std::string& out_dir, const Publication& pub, std::vector<std::string>* lines,
                 std::string* error, const LatestEdit& edit = LatestEdit());

// Changes the rollout of the tree's newest version to `percent` (0 halts
// it) and nothing else. Signed (`pub` with seeds), as a refresh: the next
// serial and a new expiry on every document. Unsigned, latest-version.xml
// alone is rewritten. Refused for a tree whose newest version went out to
// every install (no heldversionnum).
bool SetRollout(const std::string& out_dir, int percent, const Publication& pub, std::vector<std::string>* lines,
                std::string* error);

// Checks a published tree against `key`: the signatures of latest-version.xml
// and of every <dir>/version.xml, that each version.xml names its own
// directory as fromversion, and that each package (looked up as
// packages/<what follows "packages/" in packageurl>) has the published size,
// SHA-1 and SHA-256, and that an address of the form packages/<hex>/<name>
// names the package's own SHA-256. The fallback elements fullpackageurl,
// fullpackagemd5, fullpackagesize and fullpackagesha256, when present after
// the others, are checked the same way; and the per-file store against its
// manifests (VerifyFileStore). Appends one line per problem; true when there is none.
bool VerifyTree(const std::string& out_dir, const PublisherKey& key, std::vector<std::string>* problems);

// How a release is built beyond its inputs.
struct ReleaseOptions {
  // Direct deltas to the newest version from the last this many versions
  // before it (the previous one's own step is direct already).
  int direct = 5;
  // The name ending of the packages: the setup program's (".exe" for
  // Windows players).
  std::string exe_suffix = platform::kExeSuffix;
  // The patch tool the delta packages carry, when it is not the one that
  // checks the difference files here (another target's build).
  std::string shipped_gleaner;
  // "win32" or "native": the setup program and the shipped patch tool must
  // be programs of that kind (ProgramTarget); empty: not checked.
  std::string target;
};

// What a program file runs on, from its first bytes: "win32" (a 32-bit x86
// Windows program), "win64" (x86-64 Windows), "native" (an ELF program), or
// "" when it is none of these.
std::string ProgramTarget(const std::string& head);
// The target this tool itself is built for: "win32", "native", or "win64"
// for the 64-bit check build of the Windows backends.
std::string OwnTarget();
// The most versions --direct may name.
constexpr int kMaxDirect = 100;

// The release builder. `builds` holds one directory per version, named by
// its version text, each the whole client as installed plus a notes.txt of
// release notes. Writes into `out_dir`, to be served at `base_url`: for each
// step N-1 -> N a delta package and a full package (the setup program at
// `setup_program` with a delta_package payload; deltas carry the patch tool
// when they patch engine packages: options.shipped_gleaner, or `gleaner`,
// which in any case runs here to check every difference file) under
// packages/<sha256>/<name>; direct deltas and full packages to the newest
// version from the last options.direct versions before it; for each
// version but the newest <version>/version.xml naming the cheaper of its
// direct delta and its step (and, for each of pub.mirrors, both packages at
// that address as mirrorurl); latest-version.xml and news.html. Signed and
// dated as PublishTree. Refused by CheckNewest before anything is written;
// then the packages (a content-addressed one that exists is kept, or
// refused when its bytes differ), the version.xml documents, news.html, and
// latest-version.xml last. The version store dovra_version.ini at the top
// of a build is left out (the setup program writes it). `lines` receives
// the summary: one line per package, one per engine package sent whole,
// with the reason, and one per version offered a direct delta, with the
// route named.
bool BuildRelease(const std::string& builds, const std::string& out_dir, const std::string& base_url,
                  const std::string& setup_program, const std::string& gleaner, const Publication& pub,
                  std::vector<std::string>* lines, std::string* error,
                  const ReleaseOptions& options = ReleaseOptions());

// One file of a version's build, as the per-file store takes it: its path
// in the install ('/' between folders), where it lies and its SHA-256.
struct BuildFile {
  std::string path, full_path, sha256;
  bool executable = false;
};
struct VersionFiles {
  std::string version;
  std::vector<BuildFile> files;
};

// The per-file store (launcher/release/file_manifest.h) of `versions` in the
// tree at `out_dir`: first each distinct file once, zlib-compressed, at
// files/<sha256> (one that is there is kept as it is, or refused when it
// does not inflate to that file), then <version>/files.txt for each
// version, signed with `seeds` (none: unsigned). BuildRelease calls it with
// the packages, before any version document. `lines` gets one summary line.
// False with *error.
bool PublishFileStore(const std::string& out_dir, const std::vector<VersionFiles>& versions, const SigningSeeds& seeds,
                      std::vector<std::string>* lines, std::string* error);

// The store's part of VerifyTree: every <dir>/files.txt verifies with `key`,
// reads as a manifest of version <dir>, and every file it lists is in the
// store with its stored size, inflating to its size and SHA-256. Appends
// one line per problem.
void VerifyFileStore(const std::string& out_dir, const PublisherKey& key, std::vector<std::string>* problems);

// What a client sees of the tree at `out_dir`, one line each: the newest
// version with the serial and expiry of latest-version.xml and every other
// element it holds (by name); each channel (a directory holding a
// latest-version.xml of its own) with its newest version; and each version a
// client can start from (a directory holding a version.xml), with the route
// of packages it takes to the newest and their bytes, each step's full
// fallback and its bytes. False with *error when the tree has no readable
// latest-version.xml.
bool TreeStatus(const std::string& out_dir, std::vector<std::string>* lines, std::string* error);

// The release notes page: versions and their notes, newest first, escaped.
std::string NewsPage(const std::vector<std::pair<std::string, std::string>>& newest_first);

// A new key: writes the seed's base64 line to a new owner-only file at
// `key_file` (never replacing one) and gives the public key text.
bool MakeKey(const std::string& key_file, std::string* public_key_text, std::string* error);

// The seed from a private key file. A file other users may open is refused
// (platform::IsPrivateFile), with the command that fixes it in *error.
bool ReadKeyFile(const std::string& key_file, SigningSeed* seed, std::string* error);

}  // namespace publisher

#endif  // PUBLISHER_PUBLISH_PUBLISHER_H_
