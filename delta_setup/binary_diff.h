// Binary differences for files that are not engine packages: the new file as
// pieces copied from the old one and literal bytes.
//
//   "RNWLBDF1"                      8 bytes
//   old size                        8 bytes, little-endian
//   old SHA-256                     32 bytes
//   new size                        8 bytes, little-endian
//   new SHA-256                     32 bytes
//   operations, one zlib stream, nothing after it:
//     'C' <offset: 8 LE> <length: 8 LE>   copy old[offset, offset+length)
//     'A' <length: 8 LE> <bytes>           add the bytes
//     'D' <offset: 8 LE> <length: 8 LE> <bytes>
//                                          old[offset, offset+length), each
//                                          byte plus the matching one of the
//                                          bytes (mod 256): code whose
//                                          addresses moved a little
//
// Applying refuses anything that does not make exactly the new file from
// exactly the old one: another old file (size or digest), an operation with
// length 0 or reaching past the old file's end, output beyond the new size,
// a stream that ends early or carries bytes after its end, and a result
// whose digest is not the header's.
#ifndef DELTA_SETUP_BINARY_DIFF_H_
#define DELTA_SETUP_BINARY_DIFF_H_

#include <cstdint>
#include <string>
#include <vector>

namespace binary_diff {

constexpr char kMagic[] = "RNWLBDF1";
constexpr size_t kHeaderSize = 8 + 8 + 32 + 8 + 32;
// The largest file a difference makes or reads: both are held in memory,
// with the difference, in a 32-bit setup program too. Larger files go whole.
constexpr uint64_t kMaxFileSize = uint64_t{256} << 20;

struct Operation {
  enum Kind : char { kCopy = 'C', kAdd = 'A', kDelta = 'D' };
  Kind kind = kAdd;
  uint64_t offset = 0, length = 0;  // copy: the old file's bytes
  std::string bytes;                // add; delta (its length is theirs)
};

// A difference from its parts, exactly as given (no check): the maker's
// last step, and a way for tests to write hostile ones. Digests are the 32
// raw bytes.
std::string Encode(uint64_t old_size, const std::string& old_sha256, uint64_t new_size,
                   const std::string& new_sha256, const std::vector<Operation>& ops);

// The difference that makes `new_data` from `old_data`. The old file's
// blocks are indexed by a hash; the new file is scanned with a rolling hash
// of the same length and each match is extended both ways. The bytes between
// two matches go as a delta against the old bytes at a neighbouring match's
// distance when at least half of them are equal there, else as they are. Time about linear
// in the two sizes, memory about the two files plus a quarter of the old
// one. Empty when a file is larger than kMaxFileSize.
std::string Make(const std::string& old_data, const std::string& new_data);

// Makes the new file from `old_data` and `diff` into *out; false with
// *error (one line) when the difference is damaged, is not for this old
// file, or does not make the file its header names.
bool Apply(const std::string& old_data, const std::string& diff, std::string* out, std::string* error);

}  // namespace binary_diff

#endif  // DELTA_SETUP_BINARY_DIFF_H_
