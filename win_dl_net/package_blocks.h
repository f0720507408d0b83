// The blocks of a package file and the SHA-256 each must have: the download
// job checks a block once all its bytes are on disk, and fetches a block that
// fails again (segment_policy.h).
//
//   PackageBlocks blocks(block_size, digests, file_size);  // Valid()?
//   for (size_t k = 0; k < blocks.Count(); ++k)
//     if (blocks.Covered(k, ranges) && !blocks.Check(path, k)) ...;
//
// Blocks are [k * block_size, (k + 1) * block_size - 1], the last one ending
// at the file's last byte. Immutable after construction; any thread.
#ifndef WIN_DL_NET_PACKAGE_BLOCKS_H_
#define WIN_DL_NET_PACKAGE_BLOCKS_H_

#include <cstdint>
#include <string>
#include <vector>

class PackageBlocks {
 public:
  // What of a byte range is on disk: [first, done), within [first, end).
  struct OnDisk {
    uint64_t first = 0;
    uint64_t done = 0;
  };

  PackageBlocks() = default;
  // `digests` are 64 upper-case hexadecimal digits each, in file order.
  PackageBlocks(uint32_t block_size, std::vector<std::string> digests, uint32_t file_size);

  // True when there is a block size and exactly one digest per block of the
  // file (none for an empty file, which has no block).
  bool Valid() const;
  // The number of blocks of a file of `file_size` bytes.
  static uint64_t CountFor(uint32_t block_size, uint32_t file_size);

  size_t Count() const { return digests_.size(); }
  uint32_t First(size_t k) const { return static_cast<uint32_t>(uint64_t{block_size_} * k); }
  // The last byte of block k, inclusive.
  uint32_t Last(size_t k) const;
  uint32_t Length(size_t k) const { return Last(k) - First(k) + 1; }
  // The block that holds byte `pos`.
  size_t BlockOf(uint32_t pos) const { return pos / block_size_; }

  // Whether every byte of block k lies in one of `parts`.
  bool Covered(size_t k, const std::vector<OnDisk>& parts) const;
  // Whether block k of the file at `path` has its digest. False when the file
  // cannot be read there; never changes the file (others may be writing other
  // blocks of it meanwhile).
  bool Check(const std::string& path, size_t k) const;

 private:
  uint32_t block_size_ = 0;
  uint32_t file_size_ = 0;
  std::vector<std::string> digests_;
};

#endif  // WIN_DL_NET_PACKAGE_BLOCKS_H_
