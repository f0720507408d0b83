// The per-file store of a release tree and the manifest of each version that
// points into it: the one place their names and the manifest's lines are
// spelt, its one writer and its one reader.
//
// Store: files/<SHA-256>, at the top of the tree, holds one file of some
// version, zlib-compressed; <SHA-256> is that of the raw file (64 upper-case
// hexadecimal digits), so the same file in ten versions is stored once and a
// stored file never changes.
//
// Manifest: <version>/files.txt lists every file of that version as
// installed (the version store dovra_version.ini excepted: the setup
// program writes it). In a signed tree its detached signature is
// <version>/files.txt.sig (signature.h). Lines end in "\n":
//
//   RNWL-FILES 1
//   version <version>
//   file <sha256> <size> <stored> <x|-> <path>
//   ...
//   end
//
// <size> is the raw file's bytes and <stored> the bytes of its store file,
// both decimal; x marks an executable (as the delta packages do). <path> is
// relative to the install directory with '/' between folders and runs to the
// end of the line. Nothing follows "end".
//
// The reader refuses anything else: an unknown or misplaced line, a digest
// of another spelling, a size beyond the bounds below, a stored size more
// than zlib can make of the file, a path that is absolute, holds "..",
// backslashes, drive letters or control characters, names a file Windows
// reads as another, or names one of the setup program's own files (the path
// rule of the delta packages, delta_package::SafeRelativePath, so that every
// listed file can be installed by the setup program's install), and a path
// listed twice (in any letter case: one file on Windows).
#ifndef LAUNCHER_RELEASE_FILE_MANIFEST_H_
#define LAUNCHER_RELEASE_FILE_MANIFEST_H_

#include <cstdint>
#include <string>
#include <vector>

namespace release {

inline constexpr char kFileManifestFile[] = "files.txt";  // under <version>/
inline constexpr char kFileStoreDir[] = "files";           // at the top

// Bounds the reader holds a manifest to.
inline constexpr uint64_t kMaxManifestFiles = 100000;
inline constexpr size_t kMaxManifestBytes = 32u << 20;
inline constexpr size_t kMaxManifestPath = 700;
inline constexpr uint64_t kMaxManifestFileSize = uint64_t{1} << 31;    // each file, raw
inline constexpr uint64_t kMaxManifestTotalSize = uint64_t{1} << 40;   // all files, raw

struct ManifestFile {
  std::string path, sha256;
  uint64_t size = 0, stored = 0;
  bool executable = false;
  bool operator==(const ManifestFile&) const = default;
};

struct FileManifest {
  std::string version;
  std::vector<ManifestFile> files;
  bool operator==(const FileManifest&) const = default;
};

// The most bytes zlib makes of `size` raw bytes (at any level, with its
// header and check): what a store file of a file that size may hold.
uint64_t MaxStoredSize(uint64_t size);

// The address of a stored file relative to the tree: "files/<sha256>".
std::string StoredFileAddress(const std::string& sha256);

// The manifest's text. The caller gives valid fields (the reader refuses
// what it would not take).
std::string WriteFileManifest(const FileManifest& m);

// Reads a manifest, checking every field and the bounds above. False with
// *error (one short reason) for anything the header refuses; *out is then
// unspecified.
bool ParseFileManifest(const std::string& text, FileManifest* out, std::string* error);

}  // namespace release

#endif  // LAUNCHER_RELEASE_FILE_MANIFEST_H_
