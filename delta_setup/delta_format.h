// Release packages: the delta setup program with a payload appended.
//
//   [program bytes][payload][payload size: 8 bytes LE]["RNWLDLT1"]
//
// The payload starts with a manifest of text lines and ends with the blobs
// the manifest points at (offsets count from the byte after "end\n"):
//
//   RNWL-DELTA 1
//   version <to>                      the version the package produces
//   from <from>                       delta packages: the version it expects
//   input <sha256> <path>             a file the package reads, as it must be
//   output <sha256> <x|-> <path>      a file the package writes, as it will
//                                     be; x: executable
//   delete <path>                     a file the package removes
//   gleaner <offset> <size> <raw>     the patch tool, zlib-compressed
//   patch <offset> <size> <path>      a difference file: Gleaner composes the
//                                     output <path> from the input <path>
//   whole <offset> <size> <raw> <path>  the output <path>, zlib-compressed
//   bdiff <offset> <size> <path>  a binary difference (binary_diff.h): the
//                                 output <path> from the input <path>
//   end
//
// Digests are 64 upper-case hexadecimal digits. Paths are relative to the
// install directory with '/' between folders. A full package has no "from",
// no inputs, no patches and no binary differences. Packages made before
// binary differences existed carry no "bdiff" line and mean what they meant.
#ifndef DELTA_SETUP_DELTA_FORMAT_H_
#define DELTA_SETUP_DELTA_FORMAT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace delta_package {

constexpr char kMagic[] = "RNWLDLT1";
// The setup program's own names inside the install directory.
constexpr char kStagingDir[] = ".delta-setup";
constexpr char kJournal[] = ".delta-setup.journal";
// The version library's store, written by the setup program alone.
constexpr char kVersionStore[] = "dovra_version.ini";

struct Blob {
  uint64_t offset = 0, size = 0, raw = 0;  // raw: size after inflating
};

struct Output {
  std::string path, sha256;
  bool executable = false;
};

struct Manifest {
  std::string version, from;  // from empty: a full package
  std::vector<std::pair<std::string, std::string>> inputs;  // path, sha256
  std::vector<Output> outputs;
  std::vector<std::string> deletes;
  bool has_gleaner = false;
  Blob gleaner;
  std::vector<std::pair<std::string, Blob>> patches;  // path, difference file
  std::vector<std::pair<std::string, Blob>> wholes;   // path, compressed file
  std::vector<std::pair<std::string, Blob>> bdiffs;   // path, binary difference
};

// A payload under construction: the manifest's lists plus the blob bytes.
class PayloadWriter {
 public:
  explicit PayloadWriter(std::string version, std::string from = std::string());
  void AddInput(const std::string& path, const std::string& sha256);
  void AddOutput(const std::string& path, const std::string& sha256, bool executable);
  void AddDelete(const std::string& path);
  void SetGleaner(const std::string& program);               // compressed here
  void AddPatch(const std::string& path, std::string diff);  // stored as is
  // Compressed here; the raw bytes' SHA-256 must be given by AddOutput.
  void AddWhole(const std::string& path, const std::string& data);
  void AddBinaryDiff(const std::string& path, std::string diff);  // stored as is
  std::string Payload() const;
  const Manifest& manifest() const { return m_; }

 private:
  Manifest m_;
  std::string blobs_;
};

// Appends payload and trailer to a program.
std::string Attach(const std::string& program, const std::string& payload);
// Finds the payload of a package (whole bytes in memory); false when absent.
bool Detach(const std::string& package, std::string* program, std::string* payload);

// Parses the manifest at the start of `text` (at most the first bytes of the
// payload); `*manifest_size` gets the length through "end\n". Checks the
// structure: digests, counts, every patch and binary difference has an
// input and an output, every whole an output, every output one source, no path twice, and each path is
// well formed (SafeRelativePath). False with *error.
bool ParseManifest(const std::string& text, Manifest* out, uint64_t* manifest_size, std::string* error);

// A relative path that stays inside the directory by its text and means the
// same file on every system: not empty, no leading '/' or '\', no ':', no
// '\', no empty, "." or ".." component, no ".." anywhere, no control
// characters, no component Windows reads as another name (a device such as
// CON or NUL.txt, trailing dots or blanks, a possible 8.3 alias such as
// DOVRA_~1.INI: release::IsWindowsMisreadName), and none of the setup
// program's own names (staging directory, journal, version store) as its
// first component, in any letter case.
bool SafeRelativePath(const std::string& path);

// The install journal (kJournal): what a committed install still has to do,
// tied to the package that wrote it by its manifest's SHA-256, its version
// and the version it upgrades:
//
//   commit 2
//   package <manifest sha256> <version> <from, or - for a full package>
//   delete <path>                          in the manifest's order
//   rename <staged> <sha256> <x|-> <path>  in the manifest's order
//   end
//
// <staged> is ".delta-setup/<process id>/<number>.new". Anything else in the
// journal's place is not a committed journal: the record "staging <version>"
// a run writes before it stages, and the first format's journals (first line
// "commit", no package line), which name no package and so are nobody's.
constexpr char kJournalHeader[] = "commit 2";

struct JournalRename {
  std::string staged, sha256, path;
  bool executable = false;
};

struct Journal {
  std::string manifest_sha256, version, from;  // from empty: a full package
  std::vector<std::string> deletes;
  std::vector<JournalRename> renames;
};

std::string JournalText(const Journal& j);

// Parses a committed journal (text only, no file is looked at); false with
// *error for anything else: not committed, the first format, damaged, or a
// path SafeRelativePath refuses.
bool ParseJournal(const std::string& text, Journal* out, std::string* error);

// The SHA-256 of a manifest's text, "RNWL-DELTA 1" through "end\n".
std::string ManifestSha256(const std::string& manifest_text);

// True when the journal was written for the package of manifest `m` (whose
// text has the SHA-256 `manifest_sha256`) and does exactly what it says: the
// same deletions, and one rename per output with its path, digest and mode.
// False with *why otherwise.
bool JournalIsFor(const Journal& j, const Manifest& m, const std::string& manifest_sha256, std::string* why);

// zlib, whole buffers.
std::string Compress(const std::string& data);
bool Uncompress(const std::string& data, uint64_t raw, std::string* out);

bool IsSha256Text(const std::string& text);
std::string Sha256Of(const std::string& data);

}  // namespace delta_package

#endif  // DELTA_SETUP_DELTA_FORMAT_H_
