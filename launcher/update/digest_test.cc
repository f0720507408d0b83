#include "launcher/update/digest.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/file.h"
#include "platform/testing.h"

namespace {

using platform::testing::TempDir;

std::string Sha1Text(const std::string& data) {
  DigestContext ctx;
  ctx.Update(data.data(), data.size());
  ctx.Final();
  return ctx.DigestText();
}

TEST(DigestTest, StandardTestMessages) {
  EXPECT_EQ(Sha1Text(""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  EXPECT_EQ(Sha1Text("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(Sha1Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
  EXPECT_EQ(Sha1Text(std::string(1000000, 'a')), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

TEST(DigestTest, HardwareAndPortableAgreeAndSplitsDoNotMatter) {
  std::mt19937 rng(7);
  std::string data(100000, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  for (size_t blocks : {1u, 2u, 5u, 1000u}) {
    uint32_t a[5] = {1, 2, 3, 4, 5}, b[5] = {1, 2, 3, 4, 5};
    Sha1Compress(a, reinterpret_cast<const uint8_t*>(data.data()), blocks);
    Sha1CompressPortable(b, reinterpret_cast<const uint8_t*>(data.data()), blocks);
    EXPECT_EQ(0, memcmp(a, b, sizeof a)) << blocks;
  }
  std::string whole = Sha1Text(data);
  for (size_t step : {1u, 63u, 64u, 65u, 7999u}) {
    DigestContext ctx;
    for (size_t i = 0; i < data.size(); i += step) ctx.Update(data.data() + i, std::min(step, data.size() - i));
    ctx.Final();
    EXPECT_EQ(ctx.DigestText(), whole) << step;
  }
}

TEST(DigestTest, FilesAroundTheChunkSize) {
  TempDir tmp;
  for (size_t size : {0u, 7999u, 8000u, 8001u, 16000u, 123457u}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31 + 7);
    std::string path = tmp / ("f" + std::to_string(size));
    ASSERT_TRUE(platform::WriteStringToFile(path, data));
    DigestContext ctx;
    ASSERT_TRUE(ctx.HashFile(path));
    ctx.Final();
    EXPECT_EQ(ctx.DigestText(), Sha1Text(data)) << size;
    EXPECT_TRUE(VerifyPackage(path, Sha1Text(data)));
  }
}

TEST(DigestTest, VerifyPackageRejects) {
  TempDir tmp;
  std::string path = tmp / "pkg";
  ASSERT_TRUE(platform::WriteStringToFile(path, "abc"));
  EXPECT_TRUE(VerifyPackage(path, "A9993E364706816ABA3E25717850C26C9CD0D89D"));
  EXPECT_FALSE(VerifyPackage(path, "a9993e364706816aba3e25717850c26c9cd0d89d"));  // lower case
  EXPECT_FALSE(VerifyPackage(path, "A9993E364706816ABA3E25717850C26C9CD0D89"));
  EXPECT_FALSE(VerifyPackage(tmp / "missing", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"));
}

}  // namespace
