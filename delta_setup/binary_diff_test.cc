// Binary differences: made from pairs of files and applied back, and hostile
// ones refused with the reason.
#include "delta_setup/binary_diff.h"

#include <cstdint>
#include <random>

#include "delta_setup/delta_format.h"
#include "gtest/gtest.h"
#include "launcher/release/sha256.h"

namespace {

using binary_diff::Operation;

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string Raw(const std::string& data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  const auto d = h.Final();
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

// Made, applied back, byte-identical; returns the difference's size.
size_t RoundTrip(const std::string& old_data, const std::string& new_data) {
  const std::string diff = binary_diff::Make(old_data, new_data);
  std::string out, error;
  EXPECT_TRUE(binary_diff::Apply(old_data, diff, &out, &error)) << error;
  EXPECT_TRUE(out == new_data) << "the result differs (" << out.size() << " bytes, " << new_data.size() << " expected)";
  return diff.size();
}

Operation Copy(uint64_t offset, uint64_t length) {
  Operation op;
  op.kind = Operation::kCopy;
  op.offset = offset;
  op.length = length;
  return op;
}

Operation Delta(uint64_t offset, const std::string& bytes) {
  Operation op;
  op.kind = Operation::kDelta;
  op.offset = offset;
  op.bytes = bytes;
  return op;
}

Operation Add(const std::string& bytes) {
  Operation op;
  op.bytes = bytes;
  return op;
}

TEST(BinaryDiff, OneByteChangedInFiveMegabytesCostsAFewBytes) {
  const std::string old_data = RandomBytes(5 << 20, 1);
  for (size_t at : {size_t{0}, size_t{12345}, old_data.size() / 2, old_data.size() - 1}) {
    std::string new_data = old_data;
    new_data[at] ^= 0x20;
    EXPECT_LT(RoundTrip(old_data, new_data), 10u * 1024) << at;
  }
  EXPECT_LT(RoundTrip(old_data, old_data), 200u);
}

// Insertions and deletions shift what follows; the matcher finds it again.
TEST(BinaryDiff, InsertionsAndDeletionsThatShiftTheRest) {
  const std::string old_data = RandomBytes(1 << 20, 2);
  std::string new_data = old_data;
  new_data.insert(300000, RandomBytes(1000, 3));
  new_data.erase(700001, 777);
  new_data.insert(5, "x");
  new_data += RandomBytes(10, 4);
  EXPECT_LT(RoundTrip(old_data, new_data), 3000u);
  // Moved pieces, and a file made of one repeated byte.
  const std::string moved = old_data.substr(500000) + old_data.substr(0, 500000);
  EXPECT_LT(RoundTrip(old_data, moved), 500u);
  EXPECT_LT(RoundTrip(std::string(100000, 'z'), std::string(150000, 'z')), 500u);
}

// Code whose addresses moved: a byte in every 40 changed, the rest in
// place. Few blocks match whole; the bytes between go as deltas.
TEST(BinaryDiff, BytesChangedEverywhereGoAsDeltas) {
  const std::string old_data = RandomBytes(1 << 20, 10);
  std::string new_data = old_data;
  for (size_t i = 0; i < new_data.size(); i += 40) new_data[i] = static_cast<char>(new_data[i] + 1 + (i / 40) % 3);
  EXPECT_LT(RoundTrip(old_data, new_data), new_data.size() / 8);
}

TEST(BinaryDiff, EmptyFilesAndFilesShorterThanABlock) {
  const std::string some = RandomBytes(5000, 5);
  RoundTrip("", "");
  RoundTrip("", some);
  RoundTrip(some, "");
  RoundTrip("abc", "abd");
  RoundTrip(some, some.substr(0, 10));
}

// Unrelated files make a difference no smaller than the file itself
// compressed: the release builder then sends the file whole.
TEST(BinaryDiff, UnrelatedFilesGainNothing) {
  const std::string a = RandomBytes(200000, 6), b = RandomBytes(200000, 7);
  EXPECT_GE(RoundTrip(a, b), delta_package::Compress(b).size());
}

class Applying : public ::testing::Test {
 protected:
  // The error of applying these operations to old_, the header naming
  // old_ and a new file of `new_size` bytes with digest `new_sha`.
  std::string Refusal(const std::vector<Operation>& ops, uint64_t new_size, const std::string& new_sha) {
    return Refusal(binary_diff::Encode(old_.size(), Raw(old_), new_size, new_sha, ops));
  }
  std::string Refusal(const std::string& diff, const std::string& old_data) {
    std::string out = "not empty", error;
    EXPECT_FALSE(binary_diff::Apply(old_data, diff, &out, &error));
    EXPECT_TRUE(out.empty());
    return error;
  }
  std::string Refusal(const std::string& diff) { return Refusal(diff, old_); }

  const std::string old_ = RandomBytes(1000, 8);
};

TEST_F(Applying, CopiesPastTheOldFileEndAndLengthsThatWrapAround) {
  const std::string past = "a copy reaches past the old file's end";
  const std::string sha = Raw(std::string(1000, 'x'));
  EXPECT_NE(Refusal({Copy(990, 11)}, 1000, sha).find(past), std::string::npos);
  EXPECT_NE(Refusal({Copy(1001, 1)}, 1000, sha).find(past), std::string::npos);
  // offset + length wraps to a small number in 64 and in 32 bits.
  EXPECT_NE(Refusal({Copy(10, UINT64_MAX - 5)}, 1000, sha).find(past), std::string::npos);
  EXPECT_NE(Refusal({Copy(UINT64_MAX, 2)}, 1000, sha).find(past), std::string::npos);
  EXPECT_NE(Refusal({Copy(10, (uint64_t{1} << 32) + 5)}, 1000, sha).find(past), std::string::npos);
  EXPECT_NE(Refusal({Copy((uint64_t{1} << 32) + 10, 5)}, 1000, sha).find(past), std::string::npos);
  EXPECT_NE(Refusal({Delta(990, std::string(11, '\1'))}, 1000, sha).find(past), std::string::npos);
  EXPECT_NE(Refusal({Delta(UINT64_MAX - 2, std::string(5, '\1'))}, 1000, sha).find(past), std::string::npos);
  EXPECT_NE(Refusal({Copy(0, 0)}, 1000, sha).find("an empty copy"), std::string::npos);
  EXPECT_NE(Refusal({Delta(0, "")}, 1000, sha).find("an empty copy"), std::string::npos);
  EXPECT_NE(Refusal({Add("")}, 1000, sha).find("an empty add"), std::string::npos);
}

TEST_F(Applying, OutputBeyondTheDeclaredSize) {
  const std::string more = "the operations make more than the new size";
  const std::string ten = old_.substr(0, 10);
  EXPECT_NE(Refusal({Copy(0, 11)}, 10, Raw(ten)).find(more), std::string::npos);
  EXPECT_NE(Refusal({Copy(0, 10), Add("y")}, 10, Raw(ten)).find(more), std::string::npos);
  EXPECT_NE(Refusal({Delta(0, std::string(11, '\0'))}, 10, Raw(ten)).find(more), std::string::npos);
  EXPECT_NE(Refusal({Add(std::string(11, 'z'))}, 10, Raw(ten)).find(more), std::string::npos);
  EXPECT_NE(Refusal({Copy(0, 5)}, 10, Raw(ten)).find("the operations make 5 bytes, the header names 10"),
            std::string::npos);
  EXPECT_NE(Refusal({}, uint64_t{1} << 40, Raw(ten)).find("too large"), std::string::npos);
}

TEST_F(Applying, AnotherOldFileIsRefusedBeforeAnythingIsMade) {
  const std::string diff = binary_diff::Make(old_, old_ + "more");
  std::string other = old_;
  other[500] ^= 1;
  EXPECT_NE(Refusal(diff, other).find("made for another old file (another SHA-256)"), std::string::npos);
  EXPECT_NE(Refusal(diff, old_ + "x").find("made for another old file (of 1000 bytes, this one has 1001)"),
            std::string::npos);
}

TEST_F(Applying, TruncatedDamagedOrExtendedDifferences) {
  const std::string good = binary_diff::Make(old_, old_.substr(100) + RandomBytes(3000, 9));
  std::string out, error;
  ASSERT_TRUE(binary_diff::Apply(old_, good, &out, &error)) << error;
  for (size_t n = 0; n < good.size(); ++n) {
    const std::string e = Refusal(good.substr(0, n));
    if (n < binary_diff::kHeaderSize)
      EXPECT_EQ(e, "binary difference: no header") << n;
    else
      EXPECT_NE(e.find("truncated"), std::string::npos) << n << ": " << e;
  }
  EXPECT_NE(Refusal(good + "x").find("bytes after the operations"), std::string::npos);
  // A stream that ends inside an operation, though zlib ends well.
  std::string cut = binary_diff::Encode(old_.size(), Raw(old_), 20, Raw(old_.substr(0, 20)), {Copy(0, 20)});
  cut = cut.substr(0, binary_diff::kHeaderSize) + delta_package::Compress("C\x01\x02");
  EXPECT_NE(Refusal(cut).find("the operations end inside one"), std::string::npos);
  cut = cut.substr(0, binary_diff::kHeaderSize) + delta_package::Compress(std::string("A\x05\0\0\0\0\0\0\0ab", 11));
  EXPECT_NE(Refusal(cut).find("the operations end inside one"), std::string::npos);
  cut = cut.substr(0, binary_diff::kHeaderSize) +
        delta_package::Compress(std::string("D\0\0\0\0\0\0\0\0\x05\0\0\0\0\0\0\0abcd", 21));
  EXPECT_NE(Refusal(cut).find("the operations end inside one"), std::string::npos);
  cut = cut.substr(0, binary_diff::kHeaderSize) + delta_package::Compress("Q");
  EXPECT_NE(Refusal(cut).find("an unknown operation"), std::string::npos);
  cut = cut.substr(0, binary_diff::kHeaderSize) + "not a zlib stream at all";
  EXPECT_NE(Refusal(cut).find("damaged operations"), std::string::npos);
  std::string bad_magic = good;
  bad_magic[0] = 'X';
  EXPECT_EQ(Refusal(bad_magic), "binary difference: no header");
}

TEST_F(Applying, ADeltaAddsToTheOldBytes) {
  std::string expected = old_.substr(100, 3);
  expected[0] = static_cast<char>(expected[0] + 1);
  expected[2] = static_cast<char>(expected[2] - 1);
  const std::string diff =
      binary_diff::Encode(old_.size(), Raw(old_), 3, Raw(expected), {Delta(100, std::string("\x01\0\xFF", 3))});
  std::string out, error;
  ASSERT_TRUE(binary_diff::Apply(old_, diff, &out, &error)) << error;
  EXPECT_EQ(out, expected);
}

TEST_F(Applying, AResultOtherThanTheHeaderNames) {
  const std::string new_data = old_.substr(0, 600) + "changed" + old_.substr(600);
  std::string diff = binary_diff::Make(old_, new_data);
  diff[56 + 7] ^= 1;  // a bit of the new file's digest
  EXPECT_NE(Refusal(diff).find("the result's SHA-256 is not the header's"), std::string::npos);
  // Operations that make another file of the right size.
  EXPECT_NE(Refusal({Copy(1, 600)}, 600, Raw(old_.substr(0, 600))).find("the result's SHA-256"), std::string::npos);
}

}  // namespace
