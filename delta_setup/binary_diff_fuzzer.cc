// Applies hostile binary differences to a fixed old file, and makes and
// applies differences between two halves of the input.
//
// Input: byte 0 picks the case. Even: the rest is a difference whose header
// is made to name the fixed old file (so the fuzzer reaches the operations);
// applied, it must fail or make exactly the size its header names. Odd: the
// rest split at byte 1 (scaled) into an old and a new file; the difference
// made between them must apply back to the new file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "delta_setup/binary_diff.h"
#include "launcher/release/sha256.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "binary_diff_fuzzer: %s\n", what);
    std::abort();
  }
}

const std::string& OldFile() {
  static const std::string old = [] {
    std::string s;
    for (int i = 0; i < 300; ++i) s.push_back(static_cast<char>((i * 7) ^ (i >> 3)));
    return s;
  }();
  return old;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string out, error;
  if ((data[0] & 1) == 0) {
    std::string diff = rest;
    if (diff.size() >= binary_diff::kHeaderSize) {
      const std::string& old = OldFile();
      std::memcpy(&diff[0], binary_diff::kMagic, 8);
      for (int i = 0; i < 8; ++i) diff[8 + i] = static_cast<char>((uint64_t{old.size()} >> (8 * i)) & 0xFF);
      Sha256 h;
      h.Update(old.data(), old.size());
      const auto d = h.Final();
      diff.replace(16, 32, reinterpret_cast<const char*>(d.data()), d.size());
    }
    if (binary_diff::Apply(OldFile(), diff, &out, &error)) {
      uint64_t n = 0;
      for (int i = 0; i < 8; ++i) n |= static_cast<uint64_t>(static_cast<unsigned char>(diff[48 + i])) << (8 * i);
      Check(out.size() == n, "a difference applied to another size than its header names");
    } else {
      Check(out.empty() && !error.empty(), "a refusal without its reason, or with output left");
    }
    return 0;
  }
  const size_t split = rest.size() * data[1] / 256;
  const std::string old_file = rest.substr(0, split), new_file = rest.substr(split);
  const std::string diff = binary_diff::Make(old_file, new_file);
  Check(binary_diff::Apply(old_file, diff, &out, &error), "a made difference does not apply");
  Check(out == new_file, "a made difference makes another file");
  return 0;
}
