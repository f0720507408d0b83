// The reader of binary differences (binary_diff.h); their maker is in
// binary_diff_make.cc.
#include "delta_setup/binary_diff.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "delta_setup/delta_format.h"
#include "launcher/release/sha256.h"

namespace binary_diff {
namespace {

constexpr size_t kOpCopy = 17, kOpAdd = 9;  // an operation's head

uint64_t LE64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

std::string RawSha256(const std::string& data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  const auto d = h.Final();
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

}  // namespace

bool Apply(const std::string& old_data, const std::string& diff, std::string* out, std::string* error) {
  out->clear();
  auto fail = [&](const std::string& why) {
    *error = "binary difference: " + why;
    out->clear();
    return false;
  };
  const auto* d = reinterpret_cast<const unsigned char*>(diff.data());
  if (diff.size() < kHeaderSize || std::memcmp(d, kMagic, 8) != 0) return fail("no header");
  const uint64_t old_size = LE64(d + 8), new_size = LE64(d + 48);
  if (old_size != old_data.size())
    return fail("made for another old file (of " + std::to_string(old_size) + " bytes, this one has " +
                std::to_string(old_data.size()) + ")");
  if (new_size > kMaxFileSize) return fail("the new file's size " + std::to_string(new_size) + " is too large");
  if (diff.compare(16, 32, RawSha256(old_data)) != 0) return fail("made for another old file (another SHA-256)");
  if (diff.size() - kHeaderSize > UINT_MAX) return fail("too large");
  // Grown as the operations make it: a header alone reserves little.
  out->reserve(static_cast<size_t>(std::min<uint64_t>(new_size, 64u << 20)));

  z_stream z{};
  if (inflateInit(&z) != Z_OK) return fail("no memory");
  z.next_in = const_cast<Bytef*>(d + kHeaderSize);
  z.avail_in = static_cast<uInt>(diff.size() - kHeaderSize);
  unsigned char buf[1 << 16];
  unsigned char head[kOpCopy];
  size_t head_size = 0;     // bytes of an operation's head read so far
  uint64_t literal = 0;     // bytes of an add or a delta still to come
  bool delta = false;       // they are a delta's, against old_data[from...]
  size_t from = 0;
  std::string why;
  int zr = Z_OK;
  while (why.empty() && zr != Z_STREAM_END) {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    zr = inflate(&z, Z_NO_FLUSH);
    if (zr == Z_BUF_ERROR) {
      why = "the operations end early (a truncated difference)";
      break;
    }
    if (zr != Z_OK && zr != Z_STREAM_END) {
      why = "damaged operations";
      break;
    }
    const size_t got = sizeof buf - z.avail_out;
    for (size_t at = 0; why.empty() && at < got;) {
      if (literal > 0) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(literal, got - at));
        if (delta) {
          for (size_t k = 0; k < take; ++k) out->push_back(static_cast<char>(old_data[from + k] + buf[at + k]));
          from += take;
        } else {
          out->append(reinterpret_cast<const char*>(buf + at), take);
        }
        literal -= take;
        at += take;
        continue;
      }
      head[head_size++] = buf[at++];
      const size_t need = head[0] == 'C' || head[0] == 'D' ? kOpCopy : head[0] == 'A' ? kOpAdd : 0;
      if (need == 0) {
        why = "an unknown operation";
        break;
      }
      if (head_size < need) continue;
      head_size = 0;
      const uint64_t room = new_size - out->size();
      if (head[0] == 'A') {
        literal = LE64(head + 1);
        delta = false;
        if (literal == 0) why = "an empty add";
        else if (literal > room) why = "the operations make more than the new size";
        continue;
      }
      const uint64_t offset = LE64(head + 1), length = LE64(head + 9);
      if (length == 0) why = "an empty copy";
      else if (offset > old_data.size() || length > old_data.size() - offset)
        why = "a copy reaches past the old file's end";
      else if (length > room) why = "the operations make more than the new size";
      else if (head[0] == 'C') out->append(old_data, static_cast<size_t>(offset), static_cast<size_t>(length));
      else literal = length, delta = true, from = static_cast<size_t>(offset);
    }
  }
  const bool trailing = zr == Z_STREAM_END && z.avail_in != 0;
  inflateEnd(&z);
  if (!why.empty()) return fail(why);
  if (trailing) return fail("bytes after the operations");
  if (head_size != 0 || literal != 0) return fail("the operations end inside one (a truncated difference)");
  if (out->size() != new_size)
    return fail("the operations make " + std::to_string(out->size()) + " bytes, the header names " +
                std::to_string(new_size));
  if (diff.compare(56, 32, RawSha256(*out)) != 0) return fail("the result's SHA-256 is not the header's");
  return true;
}

}  // namespace binary_diff
