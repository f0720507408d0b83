// The publisher tool's work: reading a chain description, writing the
// version-information tree (signed when given a key), making keys and
// checking a published tree against a public key.
#ifndef TOOLS_PUBLISH_PUBLISHER_H_
#define TOOLS_PUBLISH_PUBLISHER_H_

#include <string>
#include <vector>

#include "launcher/update/signature.h"
#include "tools/sample_setup/package_format.h"

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

struct Description {
  std::string url, setup, latest;
  std::vector<Package> packages;
};

// Reads a description file (format in publish.cc). False with *error set.
bool ReadDescription(const std::string& path, Description* out, std::string* error);

// Writes latest-version.xml, <from>/version.xml of each package and
// packages/<name> into `out_dir`, building the packages from the setup
// program bytes `program`. With a seed every document is also signed
// (D.sig beside D) and each version.xml carries fromversion, packagesize and
// packagesha256 after its four elements; without one the tree is the plain
// unsigned one. `lines` receives one summary line per package.
bool PublishTree(const Description& d, const std::string& program, const std::string& out_dir,
                 const SigningSeed* seed, std::vector<std::string>* lines, std::string* error);

// Checks a published tree against `key`: the signatures of latest-version.xml
// and of every <dir>/version.xml, that each version.xml names its own
// directory as fromversion, and that each package (looked up as
// packages/<last segment of packageurl>) has the published size, SHA-1 and
// SHA-256. Appends one line per problem; true when there is none.
bool VerifyTree(const std::string& out_dir, const PublisherKey& key, std::vector<std::string>* problems);

// A new key: writes the seed's base64 line to a new owner-only file at
// `key_file` (never replacing one) and gives the public key text.
bool MakeKey(const std::string& key_file, std::string* public_key_text, std::string* error);

// The seed from a private key file.
bool ReadKeyFile(const std::string& key_file, SigningSeed* seed, std::string* error);

}  // namespace publisher

#endif  // TOOLS_PUBLISH_PUBLISHER_H_
