// The maker's side of binary differences (binary_diff.h): the matcher and
// the encoder, with the compressor they call. Apart from the reader
// (binary_diff.cc) so that the setup program, which only applies
// differences, links no compressor.
#include "delta_setup/binary_diff.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "delta_setup/delta_format.h"
#include "launcher/release/sha256.h"

namespace binary_diff {
namespace {

// The matcher's block: shorter finds more in files that change a little
// everywhere, longer makes the index smaller.
constexpr size_t kBlock = 32;
constexpr uint32_t kBase = 0x01000193u;

void PutLE64(std::string* s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string RawSha256(const std::string& data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  const auto d = h.Final();
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

uint32_t BlockHash(const unsigned char* p) {
  uint32_t h = 0;
  for (size_t i = 0; i < kBlock; ++i) h = h * kBase + p[i];
  return h;
}

// The old file's blocks at multiples of kBlock, by hash: open addressing,
// at most half full, the first block of each hash kept.
class BlockIndex {
 public:
  explicit BlockIndex(const std::string& old_data) {
    const size_t blocks = old_data.size() / kBlock;
    size_t size = 16;
    while (size < 2 * blocks) size *= 2;
    mask_ = size - 1;
    slots_.assign(size, Slot());
    const auto* p = reinterpret_cast<const unsigned char*>(old_data.data());
    for (size_t b = 0; b < blocks; ++b) {
      const uint32_t h = BlockHash(p + b * kBlock);
      for (size_t s = Start(h);; s = (s + 1) & mask_) {
        if (slots_[s].block == 0) {
          slots_[s] = {h, static_cast<uint32_t>(b + 1)};
          break;
        }
        if (slots_[s].hash == h) break;
      }
    }
  }
  // The offset of a block with hash `h`; false when there is none.
  bool Find(uint32_t h, size_t* offset) const {
    for (size_t s = Start(h); slots_[s].block != 0; s = (s + 1) & mask_) {
      if (slots_[s].hash == h) {
        *offset = static_cast<size_t>(slots_[s].block - 1) * kBlock;
        return true;
      }
    }
    return false;
  }

 private:
  struct Slot {
    uint32_t hash = 0, block = 0;  // block: its number + 1, 0 for an empty slot
  };
  size_t Start(uint32_t h) const { return static_cast<size_t>(h * 0x9E3779B1u) & mask_; }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
};

}  // namespace

std::string Encode(uint64_t old_size, const std::string& old_sha256, uint64_t new_size,
                   const std::string& new_sha256, const std::vector<Operation>& ops) {
  std::string stream;
  for (const Operation& op : ops) {
    stream.push_back(op.kind);
    if (op.kind != Operation::kAdd) PutLE64(&stream, op.offset);
    PutLE64(&stream, op.kind == Operation::kCopy ? op.length : op.bytes.size());
    if (op.kind != Operation::kCopy) stream += op.bytes;
  }
  std::string out(kMagic, 8);
  PutLE64(&out, old_size);
  out += old_sha256;
  PutLE64(&out, new_size);
  out += new_sha256;
  return out + delta_package::Compress(stream);
}

std::string Make(const std::string& old_data, const std::string& new_data) {
  if (old_data.size() > kMaxFileSize || new_data.size() > kMaxFileSize) return std::string();
  const auto* o = reinterpret_cast<const unsigned char*>(old_data.data());
  const auto* n = reinterpret_cast<const unsigned char*>(new_data.data());
  const size_t os = old_data.size(), ns = new_data.size();
  const BlockIndex index(old_data);
  uint32_t top = 1;  // kBase^(kBlock-1): the weight of the byte leaving the window
  for (size_t i = 1; i < kBlock; ++i) top *= kBase;

  std::vector<Operation> ops;
  // The bytes new[start, end) that no match covers: a delta against the old
  // bytes at one of the distances `near` (old offset minus new offset) when
  // at least half of them are equal there, else an add.
  const auto gap = [&](size_t start, size_t end, std::initializer_list<int64_t> near) {
    if (start >= end) return;
    const size_t length = end - start;
    size_t best_equal = 0, best_from = 0;
    for (int64_t distance : near) {
      const int64_t from = static_cast<int64_t>(start) + distance;
      if (from < 0 || static_cast<uint64_t>(from) > os || length > os - static_cast<size_t>(from)) continue;
      size_t equal = 0;
      for (size_t k = 0; k < length; ++k) equal += n[start + k] == o[static_cast<size_t>(from) + k];
      if (equal > best_equal) best_equal = equal, best_from = static_cast<size_t>(from);
    }
    Operation op;
    op.bytes = new_data.substr(start, length);
    if (best_equal * 2 >= length && best_equal > 0) {
      op.kind = Operation::kDelta;
      op.offset = best_from;
      op.length = length;
      for (size_t k = 0; k < length; ++k) op.bytes[k] = static_cast<char>(n[start + k] - o[best_from + k]);
    }
    ops.push_back(std::move(op));
  };
  size_t literal = 0;    // where the bytes not yet covered begin
  int64_t distance = 0;  // the last match's (none yet: 0)
  size_t i = 0;
  uint32_t h = 0;
  bool hashed = false;
  while (i + kBlock <= ns) {
    if (!hashed) h = BlockHash(n + i);
    hashed = true;
    size_t at = 0;
    if (index.Find(h, &at) && std::memcmp(o + at, n + i, kBlock) == 0) {
      size_t from = at, to = i, len = kBlock;
      while (to + len < ns && from + len < os && n[to + len] == o[from + len]) ++len;
      while (to > literal && from > 0 && n[to - 1] == o[from - 1]) --to, --from, ++len;
      const int64_t here = static_cast<int64_t>(from) - static_cast<int64_t>(to);
      gap(literal, to, {distance, here});
      distance = here;
      Operation copy;
      copy.kind = Operation::kCopy;
      copy.offset = from;
      copy.length = len;
      ops.push_back(copy);
      i = literal = to + len;
      hashed = false;
      continue;
    }
    if (i + kBlock < ns) h = (h - n[i] * top) * kBase + n[i + kBlock];
    ++i;
  }
  gap(literal, ns, {distance});
  return Encode(os, RawSha256(old_data), ns, RawSha256(new_data), ops);
}

}  // namespace binary_diff
