#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {
namespace {

std::string Hex(const Sha256Digest& d) {
  std::string out;
  char two[3];
  for (uint8_t b : d) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

std::string DigestOf(const std::string& data) {
  Sha256 h;
  h.Update(data.data(), data.size());
  Sha256Digest d{};
  EXPECT_TRUE(h.Final(&d));
  return Hex(d);
}

TEST(Sha256Test, KnownVectors) {
  EXPECT_EQ(DigestOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(DigestOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DigestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Around the 64-byte block and its padding.
  EXPECT_EQ(DigestOf(std::string(63, 'x')), "75220b47218278e656f2013bb8f0c455a25eaf01e86c64924e9d48d89776d6f2");
  EXPECT_EQ(DigestOf(std::string(64, 'x')), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c");
  EXPECT_EQ(DigestOf(std::string(65, 'x')), "9537c5fdf120482f7d58d25e9ed583f52c02b4e304ea814db1633ad565aed7e9");
  EXPECT_EQ(DigestOf(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 1 MiB fed in pieces of every awkward size, a zero-length one (with a null
// pointer) among them, gives the digest of the whole.
TEST(Sha256Test, PiecewiseEqualsWhole) {
  std::vector<uint8_t> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
  const char kWant[] = "4e08f71137d5420af99b99419ef116fed281f1eb0f1f6c49777f0b4a99e92c17";
  Sha256 h;
  size_t at = 0, piece = 1;
  while (at < data.size()) {
    const size_t n = std::min(piece, data.size() - at);
    h.Update(data.data() + at, n);
    h.Update(nullptr, 0);
    at += n;
    piece = piece * 3 + 1;  // 1, 4, 13, ... 88573, then whatever is left
    if (piece > 100000) piece = 1;
  }
  Sha256Digest d{};
  ASSERT_TRUE(h.Final(&d));
  EXPECT_EQ(Hex(d), kWant);
  EXPECT_EQ(DigestOf(std::string(data.begin(), data.end())), kWant);
}

// After Final the object takes nothing until Reset, and Reset starts afresh:
// bytes fed before it do not count.
TEST(Sha256Test, FinalOnceThenReset) {
  Sha256 h;
  ASSERT_TRUE(h.ok());
  h.Update("ab", 2);
  Sha256Digest first{};
  ASSERT_TRUE(h.Final(&first));
  h.Update("c", 1);
  Sha256Digest untouched{};
  untouched.fill(0x5a);
  EXPECT_FALSE(h.Final(&untouched));
  for (uint8_t b : untouched) EXPECT_EQ(b, 0x5a);
  EXPECT_EQ(Hex(first), "fb8e20fc2e4c3f248c60c39bd652f3c1347298bb977b8b4d5903b85055620603");

  h.Reset();
  h.Update("abc", 3);
  Sha256Digest again{};
  ASSERT_TRUE(h.Final(&again));
  EXPECT_EQ(Hex(again), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // A Reset in the middle drops what was fed.
  h.Reset();
  h.Update("zzz", 3);
  h.Reset();
  h.Update("abc", 3);
  ASSERT_TRUE(h.Final(&again));
  EXPECT_EQ(Hex(again), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Many objects at once are independent of each other.
TEST(Sha256Test, ObjectsAreIndependent) {
  Sha256 a, b;
  a.Update("a", 1);
  b.Update("x", 1);
  a.Update("bc", 2);
  Sha256Digest da{}, db{};
  ASSERT_TRUE(a.Final(&da));
  ASSERT_TRUE(b.Final(&db));
  EXPECT_EQ(Hex(da), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex(db), "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881");
}

}  // namespace
}  // namespace platform
