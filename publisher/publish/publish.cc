// The publisher's tool: builds a version-information tree for a chain of
// versions, ready to be served over HTTP, signs it, and checks it.
//
//   publish DESCRIPTION OUT_DIR [--key KEY_FILE]... [--valid-days DAYS]
//               [--force]
//       Writes the tree. With a key file every document is signed: D.sig
//       beside each D (a line per key when --key is given more than once,
//       while keys rotate), and each version.xml also carries fromversion,
//       packagesize and packagesha256. Every publication is dated:
//       latest-version.xml carries a serial, one more than the tree's
//       current one, and an expiry DAYS from now (default 7); each
//       version.xml carries the same serial.
//   publish release BUILDS OUT BASE_URL (--key KEY_FILE... | --unsigned)
//               [--valid-days DAYS] [--available-from YYYY-MM-DDTHH:MM:SSZ]
//               [--direct K] [--target win32|native] [--tools DIR]
//               [--rollout PERCENT] [--mirror MIRROR_URL]... [--force]
//       The release builder. BUILDS holds one directory per version, named
//       by its version text, each the whole client as installed plus a
//       notes.txt of release notes. Writes into OUT, to be served at
//       BASE_URL: for each step from one version to the next a delta package
//       (difference files for changed engine packages, other changed files
//       whole, deletions, a manifest of SHA-256 digests, and its own copy of
//       Gleaner) and a full package, both built from the delta setup program
//       beside this tool and stored as packages/<SHA-256>/<name>; each
//       <version>/version.xml naming both (the full package as the fallback
//       elements fullpackageurl, fullpackagemd5 and, signed, fullpackagesize
//       and fullpackagesha256); latest-version.xml; news.html. Signed as
//       above with a key. Prints one line per package, and one per engine
//       package that had to go whole, with the reason. With
//       --available-from, latest-version.xml carries availablefrom: until
//       that time launchers pre-load the newest version and install it after.
//       --direct K (default 5) adds direct deltas to the newest version from
//       the last K versions before it; each of their version.xml names the
//       cheaper of its direct delta and its chain of steps. --target win32
//       or native says whose players the packages are for (default: the
//       tool's own), taking that target's delta setup program and Gleaner
//       from --tools DIR or from build/<target>/bin of the same build tree.
//       With --rollout PERCENT the newest version goes to that share of
//       installs only (0-100; each install's share is fixed by its random
//       identifier); the others keep the version every install could have
//       had before (heldversionnum): the tree's newest, or while that was
//       itself staged, its held version, which then steps straight to the
//       new release. Each --mirror names the base address of a copy of the
//       tree: every version.xml names its two packages there too (mirrorurl,
//       signed with the rest).
//   publish rollout OUT PERCENT (--key KEY_FILE... | --unsigned)
//               [--valid-days DAYS]
//       Changes the rollout of the tree's staged newest version and nothing
//       else: 0 halts it for every install that has not installed it, 100
//       gives it to all. Signed, as a refresh (the next serial, new expiry).
//
//   Both write a tree that may be served meanwhile: every file goes to a
//   temporary beside it (".NAME.tmp-PID") and is renamed over it; a file
//   that holds the same bytes already is left alone, and a package under
//   packages/<SHA-256>/ that exists is never rewritten (one with other bytes
//   stops the run). The packages come first, then the version.xml
//   documents, news.html, and latest-version.xml last (each signature just
//   before its document). A publication whose newest version is older than
//   the tree's is refused unless --force.
//   publish refresh OUT --key KEY_FILE... [--valid-days DAYS]
//       Re-signs the tree in OUT with the next serial and a new expiry and
//       changes nothing else: for publishers to run on a schedule, well
//       before the expiry, so that installs keep taking the tree.
//   publish sign FILE --key KEY_FILE...
//       Writes FILE.sig beside FILE: a signature line per key over FILE's
//       exact bytes (for a page the launcher's browser pane is to show).
//   publish keygen KEY_FILE
//       Makes a new Ed25519 key: writes its seed to KEY_FILE (a new file,
//       readable by its owner alone) and prints the public key line.
//   publish pubkey KEY_FILE
//       Prints the public key line of an existing key file.
//   publish verify OUT_DIR PUBLIC_KEY
//       Checks a published tree against the public key (its 44-character
//       base64 text): every signature, fromversion, and each package's size,
//       SHA-1 and SHA-256. Prints one line per problem; exit code 1 if any.
//   publish status OUT_DIR
//       Prints what clients see of the tree: the newest version, serial and
//       expiry, any other element of latest-version.xml by name, each
//       channel (a folder with a latest-version.xml of its own) with its
//       newest version, and for each version a client can start from the
//       route of packages to the newest with their bytes and each step's
//       full fallback.
//
// The private key is never printed or logged. A key file other users may
// open is refused (as ssh refuses one), with the command that fixes it.
//
// DESCRIPTION is a text file of lines (blank lines and lines starting with #
// are skipped):
//   url <base address>          where OUT_DIR will be served, ending in '/'
//   setup <path>                the setup program packages are built from
//   latest <version>            the version latest-version.xml names
//   rollout <percent> <held>    write rollout and heldversionnum as given
//   package <from> <to>         starts a package that upgrades <from> to <to>
//     updateself <text>         the package's updateself text (default false)
//     cancel                    its setup behaves as cancelled
//     digest <text>             publish this digest instead of the real one
//     sha256 <text>             publish this SHA-256 instead (signed trees)
//     size <text>               publish this size instead (signed trees)
//     file <dest> <source>      install <source> (a local file) at <dest>
//     text <dest> <words...>    install a small text file at <dest>
//     omit <element>            leave an element out of version.xml
//     fullpackage [options]     also publish full_<from>_to_<to>, a full
//                               package of the same step with the same files,
//                               named in version.xml as the fallback
//                               (fullpackageurl, fullpackagemd5, and when
//                               signed fullpackagesize, fullpackagesha256).
//                               Options: cancel, digest <text>,
//                               sha256 <text>, size <text>, omit <element>
//
// OUT_DIR receives latest-version.xml, one directory per upgraded version
// holding version.xml, and packages/ with the package files.
#include <cstdio>
#include <string>
#include <vector>

#include "launcher/release/rollout.h"
#include "launcher/release/signature.h"
#include "launcher/release/text.h"
#include "launcher/release/version_documents.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/path.h"
#include "publisher/publish/publisher.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "publish: %s\n", message.c_str());
  return 1;
}

const char kUsage[] =
    "usage: publish DESCRIPTION OUT_DIR [--key KEY_FILE]... [--valid-days DAYS] [--force]\n"
    "       publish release BUILDS OUT BASE_URL (--key KEY_FILE... | --unsigned) [--valid-days DAYS]\n"
    "               [--available-from YYYY-MM-DDTHH:MM:SSZ] [--direct K] [--target win32|native] [--tools DIR]\n"
    "               [--rollout PERCENT] [--mirror MIRROR_URL]... [--force]\n"
    "       publish rollout OUT PERCENT (--key KEY_FILE... | --unsigned) [--valid-days DAYS]\n"
    "       publish refresh OUT --key KEY_FILE... [--valid-days DAYS]\n"
    "       publish sign FILE --key KEY_FILE...\n"
    "       publish keygen KEY_FILE\n"
    "       publish pubkey KEY_FILE\n"
    "       publish verify OUT_DIR PUBLIC_KEY\n"
    "       publish status OUT_DIR";

// Each command's own help: `publish COMMAND --help`.
struct CommandHelp {
  const char* command;
  const char* text;
};
const CommandHelp kCommandHelp[] = {
    {"release",
     "usage: publish release BUILDS OUT BASE_URL (--key KEY_FILE... | --unsigned) [--valid-days DAYS]\n"
     "               [--available-from YYYY-MM-DDTHH:MM:SSZ] [--direct K] [--target win32|native] [--tools DIR]\n"
     "               [--rollout PERCENT] [--mirror MIRROR_URL]... [--force]\n"
     "  Builds the update tree OUT from BUILDS (one folder per version, named by\n"
     "  its version) for players who fetch it from BASE_URL (http:// or https://).\n"
     "  --key KEY_FILE   signs with this key (repeat for a key rotation)\n"
     "  --unsigned       publishes without signatures, on purpose\n"
     "  --valid-days N   the documents expire after N days (default 7)\n"
     "  --available-from TIME  the newest version installs from TIME (UTC);\n"
     "                   until then launchers download and keep it (pre-load)\n"
     "  --direct K       direct deltas to the newest from the last K versions\n"
     "                   (default 5, 0 for none); each names the cheaper route\n"
     "  --target T       packages for win32 or native players (default: this\n"
     "                   tool's own); the setup program and Gleaner of that\n"
     "                   target come from --tools DIR, or from build/T/bin\n"
     "  --rollout P      the newest version goes to P percent of installs (0-100);\n"
     "                   the others keep the tree's previous newest. Change the\n"
     "                   share later with publish rollout.\n"
     "  --mirror URL     another address serving a copy of OUT; each version.xml\n"
     "                   names its packages there too (repeat for more mirrors)\n"
     "  --force          publishes even when the newest version moves backwards\n"
     "  OUT may be live: packages are written first, latest-version.xml last,\n"
     "  each file through a temporary; existing packages are never rewritten.\n"
     "  Upload in the same order: packages/ and files/, the version folders,\n"
     "  news.html, latest-version.xml last.\n"
     "  Every distinct file of every version is also stored once, compressed, as\n"
     "  files/<SHA-256>, and each version folder gets files.txt, the signed list\n"
     "  of its files that Quillfen -c repair fetches them by.\n"},
    {"rollout",
     "usage: publish rollout OUT PERCENT (--key KEY_FILE... | --unsigned) [--valid-days DAYS]\n"
     "  Changes only the rollout of the newest version of the tree OUT (published\n"
     "  with --rollout): PERCENT of installs take it, 0 halts it for every install\n"
     "  that does not have it yet, 100 gives it to all. Signed trees are re-signed\n"
     "  with a new serial and expiry, as by refresh.\n"},
    {"refresh",
     "usage: publish refresh OUT --key KEY_FILE... [--valid-days DAYS]\n"
     "  Re-signs the tree OUT with a new serial and expiry and changes nothing\n"
     "  else; run it on a schedule, before the documents expire.\n"},
    {"sign",
     "usage: publish sign FILE --key KEY_FILE...\n"
     "  Writes FILE.sig beside FILE (a news page written by hand, say).\n"},
    {"keygen",
     "usage: publish keygen KEY_FILE\n"
     "  Makes a new signing key in KEY_FILE (which must not exist yet, readable\n"
     "  by its owner only) and prints its public key for resource string 803.\n"},
    {"pubkey",
     "usage: publish pubkey KEY_FILE\n"
     "  Prints the public key of the signing key in KEY_FILE.\n"},
    {"verify",
     "usage: publish verify OUT_DIR PUBLIC_KEY\n"
     "  Checks every signature, size and digest of the tree OUT_DIR.\n"},
    {"status",
     "usage: publish status OUT_DIR\n"
     "  Prints what clients see of the tree OUT_DIR: its newest version, serial\n"
     "  and expiry, the other elements of latest-version.xml, each channel (a\n"
     "  folder with its own latest-version.xml) and its newest version, and for\n"
     "  every version a client can start from the packages it takes to the\n"
     "  newest, their bytes, and each step's full fallback.\n"},
};

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h" || a == "-?" || a == "/?"; }

// The options after a command's words.
struct Options {
  std::vector<std::string> key_files;
  std::vector<std::string> mirrors;
  bool unsigned_on_purpose = false;
  bool force = false;
  int valid_days = publisher::kDefaultValidDays;
  std::string available_from;  // "YYYY-MM-DDTHH:MM:SSZ", or empty
  int direct = publisher::ReleaseOptions().direct;
  std::string target, tools;  // empty: this tool's own target, from beside it
  bool release_only = false;  // an option only publish release takes
  int rollout = -1;  // --rollout, publish release only
};

// Reads `args` from `from` on as options. False with *error.
bool ReadOptions(const std::vector<std::string>& args, size_t from, Options* out, std::string* error) {
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--unsigned") {
      out->unsigned_on_purpose = true;
    } else if (a == "--direct" && i + 1 < args.size()) {
      uint64_t k = 0;
      if (!release::ParseDecimal(args[++i], &k, publisher::kMaxDirect)) {
        *error = "--direct takes a number of versions, 0 to " + std::to_string(publisher::kMaxDirect);
        return false;
      }
      out->direct = static_cast<int>(k);
      out->release_only = true;
    } else if (a == "--target" && i + 1 < args.size()) {
      out->target = args[++i];
      out->release_only = true;
      // win64 only from the 64-bit check build itself, for its own tests.
      if (out->target != "win32" && out->target != "native" && out->target != publisher::OwnTarget()) {
        *error = "--target takes win32 or native, not " + out->target;
        return false;
      }
    } else if (a == "--tools" && i + 1 < args.size()) {
      out->tools = args[++i];
      out->release_only = true;
    } else if (a == "--available-from" && i + 1 < args.size()) {
      out->release_only = true;
      out->available_from = args[++i];
      int64_t at = 0;
      if (!release::ParseUtcTime(out->available_from, &at)) {
        *error = "--available-from takes a UTC time of the form YYYY-MM-DDTHH:MM:SSZ, not " + out->available_from;
        return false;
      }
    } else if (a == "--force") {
      out->force = true;
    } else if ((a == "--key" || a == "--valid-days" || a == "--rollout" || a == "--mirror") && i + 1 < args.size()) {
      const std::string& value = args[++i];
      if (a == "--key") {
        out->key_files.push_back(value);
        continue;
      }
      if (a == "--rollout") {
        if (!release::ParseRollout(value, &out->rollout)) {
          *error = "--rollout takes a percent, 0 to 100";
          return false;
        }
        continue;
      }
      if (a == "--mirror") {
        platform::HttpUrl parts;
        if (!platform::ParseHttpUrl(value, &parts)) {
          *error = "--mirror takes an http:// or https:// address, not " + value;
          return false;
        }
        out->mirrors.push_back(value.back() == '/' ? value : value + "/");
        continue;
      }
      uint64_t days = 0;
      if (!release::ParseDecimal(value, &days, 3650) || days == 0) {
        *error = "--valid-days takes a number of days, 1 to 3650";
        return false;
      }
      out->valid_days = static_cast<int>(days);
    } else {
      *error = std::string("unexpected ") + (a.rfind("--", 0) == 0 ? "option " : "argument ") + a + "\n" + kUsage;
      return false;
    }
  }
  if (out->unsigned_on_purpose && !out->key_files.empty()) {
    *error = "--unsigned and --key contradict each other";
    return false;
  }
  if (out->key_files.size() > kMaxPublisherKeys) {
    *error = "at most " + std::to_string(kMaxPublisherKeys) + " keys sign a tree";
    return false;
  }
  return true;
}

// The publication `options` describe for the tree at `out_dir`: its seeds
// (wiped by the caller) and its serial and expiry.
bool MakePublication(const Options& options, const std::string& out_dir, publisher::Publication* pub,
                     std::string* error) {
  for (const std::string& key_file : options.key_files) {
    SigningSeed seed{};
    if (!publisher::ReadKeyFile(key_file, &seed, error)) return false;
    pub->seeds.push_back(seed);
    seed.fill(0);
  }
  pub->force = options.force;
  pub->mirrors = options.mirrors;
  return publisher::NextPublication(out_dir, options.valid_days, pub, error);
}

std::string ReleaseOnly() {
  return "--direct, --target, --tools and --available-from are for publish release";
}

void Wipe(publisher::Publication* pub) {
  for (SigningSeed& seed : pub->seeds) seed.fill(0);
}

int Keygen(const std::string& key_file) {
  std::string pub, error;
  if (!publisher::MakeKey(key_file, &pub, &error)) return Fail(error);
  std::printf("%s\n", pub.c_str());
  return 0;
}

int Pubkey(const std::string& key_file) {
  SigningSeed seed{};
  PublisherKey key{};
  std::string error;
  if (!publisher::ReadKeyFile(key_file, &seed, &error)) return Fail(error);
  bool ok = PublicKeyOfSeed(seed, &key);
  seed.fill(0);
  if (!ok) return Fail("cannot derive the public key");
  std::printf("%s\n", EncodePublicKey(key).c_str());
  return 0;
}

int Verify(const std::string& dir, const std::string& key_text) {
  PublisherKey key{};
  if (!DecodePublicKey(key_text, &key)) return Fail("the public key must be 44 characters of base64 (32 bytes)");
  std::vector<std::string> problems;
  if (publisher::VerifyTree(dir, key, &problems)) {
    std::printf("%s: every signature, size and digest checks out\n", dir.c_str());
    return 0;
  }
  for (const std::string& p : problems) std::fprintf(stderr, "publish verify: %s\n", p.c_str());
  return 1;
}

int Status(const std::string& dir) {
  std::vector<std::string> lines;
  std::string error;
  if (!publisher::TreeStatus(dir, &lines, &error)) return Fail(error);
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return 0;
}

int Publish(const std::string& description, const std::string& out_dir, const Options& options) {
  if (options.rollout >= 0) return Fail("--rollout is for publish release; a description takes a rollout line");
  publisher::Description d;
  std::string error;
  if (!publisher::ReadDescription(description, &d, &error)) return Fail(error);
  std::string program;
  if (!platform::ReadFileToString(d.setup, &program)) return Fail("cannot read setup program " + d.setup);
  publisher::Publication pub;
  if (!MakePublication(options, out_dir, &pub, &error)) return Fail(error);
  std::vector<std::string> lines;
  bool ok = publisher::PublishTree(d, program, out_dir, pub, &lines, &error);
  Wipe(&pub);
  if (!ok) return Fail(error);
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return 0;
}

int Release(const std::string& builds, const std::string& out, const std::string& url, const Options& options) {
  platform::HttpUrl parts;
  if (!platform::ParseHttpUrl(url, &parts)) {
    return Fail("BASE_URL must be an http:// or https:// address, not " + url);
  }
  if (options.key_files.empty() && !options.unsigned_on_purpose)
    return Fail("refusing to publish an unsigned release: give --key KEY_FILE, or --unsigned to publish one "
                "without signatures on purpose");
  publisher::Publication pub;
  std::string error;
  if (!MakePublication(options, out, &pub, &error)) return Fail(error);
  pub.rollout = options.rollout;
  pub.available_from = options.available_from;
  // The players' target: this tool's own unless told. Its setup program and
  // patch tool come from --tools, or from beside this tool for its own
  // target, or from that target's directory of the same build tree
  // (build/<target>/bin). The patch tool beside this tool checks every
  // difference file here, whichever target the packages are for.
  const std::string own = publisher::OwnTarget();
  publisher::ReleaseOptions release;
  release.target = options.target.empty() ? own : options.target;
  release.direct = options.direct;
  release.exe_suffix = release.target == "native" ? "" : ".exe";
  const std::string bin = platform::ExecutableDir();
  std::string tools = options.tools;
  if (tools.empty())
    tools = release.target == own ? bin : platform::JoinPath(bin + ".." + platform::kPathSep + ".." + platform::kPathSep + release.target, "bin");
  tools = platform::JoinPath(tools, "");
  release.shipped_gleaner = tools + "Gleaner" + release.exe_suffix;
  std::vector<std::string> lines;
  bool ok = publisher::BuildRelease(builds, out, url, tools + "delta_setup" + release.exe_suffix,
                                    bin + "Gleaner" + platform::kExeSuffix, pub, &lines, &error, release);
  Wipe(&pub);
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  if (!ok) return Fail(error);
  if (!pub.available_from.empty())
    std::printf("the newest version installs from %s; launchers pre-load it until then\n",
                pub.available_from.c_str());
  return 0;
}

int Refresh(const std::string& out, const Options& options) {
  if (options.rollout >= 0) return Fail("--rollout is for publish release; publish rollout changes a tree's");
  if (options.key_files.empty()) return Fail("refresh re-signs a tree: give --key KEY_FILE");
  publisher::Publication pub;
  std::string error;
  if (!MakePublication(options, out, &pub, &error)) return Fail(error);
  std::vector<std::string> lines;
  bool ok = publisher::RefreshTree(out, pub, &lines, &error);
  Wipe(&pub);
  if (!ok) return Fail(error);
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return 0;
}

int Rollout(const std::string& out, const std::string& percent_text, const Options& options) {
  int percent = 0;
  if (!release::ParseRollout(percent_text, &percent)) return Fail("PERCENT must be 0 to 100, not " + percent_text);
  if (options.rollout >= 0) return Fail("--rollout is for publish release; give the percent after OUT");
  if (options.key_files.empty() && !options.unsigned_on_purpose)
    return Fail("give --key KEY_FILE to re-sign the tree, or --unsigned for a tree without signatures");
  publisher::Publication pub;
  std::string error;
  if (!options.key_files.empty() && !MakePublication(options, out, &pub, &error)) return Fail(error);
  std::vector<std::string> lines;
  bool ok = publisher::SetRollout(out, percent, pub, &lines, &error);
  Wipe(&pub);
  if (!ok) return Fail(error);
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return 0;
}

int SignFile(const std::string& file, const Options& options) {
  if (options.rollout >= 0) return Fail("--rollout is for publish release");
  if (options.key_files.empty() || options.unsigned_on_purpose) return Fail("sign needs --key KEY_FILE");
  std::string text, error;
  if (!platform::ReadFileToString(file, &text)) return Fail("cannot read " + file);
  SigningSeeds seeds;
  bool ok = true;
  for (const std::string& key_file : options.key_files) {
    SigningSeed seed{};
    ok = publisher::ReadKeyFile(key_file, &seed, &error);
    seeds.push_back(seed);
    seed.fill(0);
    if (!ok) break;
  }
  ok = ok && release::WriteDocumentFile(file, text, seeds, &error);
  for (SigningSeed& seed : seeds) seed.fill(0);
  if (!ok) return Fail(error);
  std::printf("%s%s written\n", file.c_str(), release::kSignatureSuffix);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // Help, asked for anywhere on the line: the command's own, or the whole
  // usage, on standard output.
  for (const std::string& a : args) {
    if (!IsHelp(a) && a != "help") continue;
    if (a == "help" && &a != &args[0]) continue;
    for (const CommandHelp& h : kCommandHelp) {
      if (!args.empty() && args[0] == h.command) {
        std::fputs(h.text, stdout);
        return 0;
      }
    }
    std::printf("%s\n  publish COMMAND --help   the help of one command\n", kUsage);
    return 0;
  }
  if (args.size() == 2 && args[0] == "keygen") return Keygen(args[1]);
  if (args.size() == 2 && args[0] == "pubkey") return Pubkey(args[1]);
  if (args.size() == 3 && args[0] == "verify") return Verify(args[1], args[2]);
  if (args.size() == 2 && args[0] == "status") return Status(args[1]);
  Options options;
  std::string error;
  if (args.size() >= 4 && args[0] == "release") {
    if (!ReadOptions(args, 4, &options, &error)) return Fail(error);
    return Release(args[1], args[2], args[3], options);
  }

  if (args.size() >= 2 && args[0] == "sign") {
    if (!ReadOptions(args, 2, &options, &error)) return Fail(error);
    if (options.release_only) return Fail(ReleaseOnly());
    if (!options.mirrors.empty()) return Fail("--mirror is for publish release");
    return SignFile(args[1], options);
  }
  if (args.size() >= 3 && args[0] == "rollout") {
    if (!ReadOptions(args, 3, &options, &error)) return Fail(error);
    if (options.release_only) return Fail(ReleaseOnly());
    return Rollout(args[1], args[2], options);
  }
  if (args.size() >= 2 && args[0] == "refresh") {
    if (!ReadOptions(args, 2, &options, &error)) return Fail(error);
    if (options.release_only) return Fail(ReleaseOnly());
    if (!options.mirrors.empty()) return Fail("--mirror is for publish release");
    return Refresh(args[1], options);
  }
  if (args.size() >= 2 && args[0].rfind("--", 0) != 0 && args[1].rfind("--", 0) != 0) {
    if (!ReadOptions(args, 2, &options, &error)) return Fail(error);
    if (options.release_only) return Fail(ReleaseOnly());
    if (!options.mirrors.empty()) return Fail("--mirror is for publish release");
    if (options.unsigned_on_purpose) return Fail("--unsigned is for publish release; a chain is unsigned without --key");
    return Publish(args[0], args[1], options);
  }
  return Fail(kUsage);
}
