#include "win_dl_net/package_blocks.h"

#include <memory>

#include "launcher/release/sha256.h"
#include "platform/file.h"

PackageBlocks::PackageBlocks(uint32_t block_size, std::vector<std::string> digests, uint32_t file_size)
    : block_size_(block_size), file_size_(file_size), digests_(std::move(digests)) {}

uint64_t PackageBlocks::CountFor(uint32_t block_size, uint32_t file_size) {
  if (block_size == 0) return 0;
  return file_size / block_size + (file_size % block_size != 0);
}

bool PackageBlocks::Valid() const {
  return block_size_ > 0 && digests_.size() == CountFor(block_size_, file_size_);
}

uint32_t PackageBlocks::Last(size_t k) const {
  const uint64_t end = uint64_t{block_size_} * (k + 1);
  return static_cast<uint32_t>((end < file_size_ ? end : file_size_) - 1);
}

bool PackageBlocks::Covered(size_t k, const std::vector<OnDisk>& parts) const {
  // The parts are the job's ranges: disjoint, so the block is covered when
  // the bytes it shares with them add up to its length.
  const uint64_t a = First(k), b = uint64_t{Last(k)} + 1;
  uint64_t have = 0;
  for (const OnDisk& p : parts) {
    const uint64_t from = p.first > a ? p.first : a;
    const uint64_t to = p.done < b ? p.done : b;
    if (to > from) have += to - from;
  }
  return have == b - a;
}

bool PackageBlocks::Check(const std::string& path, size_t k) const {
  if (k >= digests_.size()) return false;
  platform::FileOpenOptions shared;
  shared.share_read = shared.share_write = shared.share_delete = true;
  std::unique_ptr<platform::File> file = platform::OpenFile(path, shared);
  if (!file || file->SeekTo(First(k)) != platform::Status::kOk) return false;
  Sha256 digest;
  std::vector<char> piece(kSha256FileChunk);
  uint32_t left = Length(k);
  while (left > 0) {
    const size_t want = left < piece.size() ? left : piece.size();
    size_t got = 0;
    if (file->Read(piece.data(), want, &got) != platform::Status::kOk || got != want) return false;
    digest.Update(piece.data(), got);
    left -= static_cast<uint32_t>(got);
  }
  return digest.HexText() == digests_[k];
}
