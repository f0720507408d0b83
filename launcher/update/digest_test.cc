#include "launcher/update/digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/host_path.h"
#include "platform/process.h"
#include "testing/testing.h"

namespace {

using testkit::TempDir;

std::string Random(size_t size) {
  std::mt19937 rng(7);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  return data;
}

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

TEST(DigestTest, HardwareAgreesWithPortable) {
  // Without the SHA instructions Sha1Compress is the portable code itself, and
  // comparing it with itself proves nothing.
  if (!Sha1HasHardware()) GTEST_SKIP() << "this processor has no SHA instructions: nothing to compare";
  std::string data = Random(100000);
  for (size_t blocks : {1u, 2u, 5u, 1000u}) {
    uint32_t a[5] = {1, 2, 3, 4, 5}, b[5] = {1, 2, 3, 4, 5};
    Sha1Compress(a, reinterpret_cast<const uint8_t*>(data.data()), blocks);
    Sha1CompressPortable(b, reinterpret_cast<const uint8_t*>(data.data()), blocks);
    EXPECT_EQ(0, memcmp(a, b, sizeof a)) << blocks;
  }
}

TEST(DigestTest, SplitsDoNotMatter) {
  std::string data = Random(100000);
  std::string whole = Sha1Text(data);
  for (size_t step : {1u, 63u, 64u, 65u, 7999u}) {
    DigestContext ctx;
    for (size_t i = 0; i < data.size(); i += step) ctx.Update(data.data() + i, std::min(step, data.size() - i));
    ctx.Final();
    EXPECT_EQ(ctx.DigestText(), whole) << step;
  }
}

// Every file HashFile opens is wrapped so that its reads are recorded; a test
// may also cut the file short or make its reads fail.
struct ReadLog {
  std::vector<int32_t> sizes;  // requested sizes, in order
  int64_t stop_after = -1;     // bytes delivered before reads yield nothing
  bool fail = false;           // reads report an I/O error
  int64_t delivered = 0;
};
ReadLog* g_reads = nullptr;

// Reads of every file go through the log while one of these lives.
class RecordedReads {
 public:
  RecordedReads() {
    g_reads = &log;
    platform::FileCalls().read = [](platform::NativeFile f, int64_t at, void* dest, size_t n, size_t* got) -> platform::Status {
      g_reads->sizes.push_back(static_cast<int32_t>(n));
      *got = 0;
      if (g_reads->fail) return platform::Status::kRetryable;
      if (g_reads->stop_after >= 0) {
        if (g_reads->delivered >= g_reads->stop_after) return platform::Status::kOk;
        n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), g_reads->stop_after - g_reads->delivered));
      }
      platform::Status e = platform::RealFileCalls().read(f, at, dest, n, got);
      g_reads->delivered += static_cast<int64_t>(*got);
      return e;
    };
  }
  ~RecordedReads() { g_reads = nullptr; }
  ReadLog log;

 private:
  platform::ScopedFileCallsOverride restore_;
};

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31 + 7);
  return data;
}

TEST(DigestTest, FilesAreReadIn8000ByteChunks) {
  TempDir tmp;
  const std::vector<std::pair<size_t, std::vector<int32_t>>> cases = {
      {0, {}},
      {1, {1}},
      {7999, {7999}},
      {8000, {8000}},
      {8001, {8000, 1}},
      {16000, {8000, 8000}},
      {20500, {8000, 8000, 4500}},
  };
  for (const auto& [size, reads] : cases) {
    std::string data = Pattern(size);
    std::string path = tmp / ("f" + std::to_string(size));
    ASSERT_TRUE(platform::WriteStringToFile(path, data));
    RecordedReads recorded;
    DigestContext ctx;
    ASSERT_TRUE(ctx.HashFile(path)) << size;
    ctx.Final();
    EXPECT_EQ(recorded.log.sizes, reads) << size;
    EXPECT_EQ(ctx.DigestText(), Sha1Text(data)) << size;
    EXPECT_TRUE(VerifyPackage(path, Sha1Text(data))) << size;
  }
}

TEST(DigestTest, AFileNotReadToItsEndFails) {
  TempDir tmp;
  std::string path = tmp / "pkg";
  ASSERT_TRUE(platform::WriteStringToFile(path, Pattern(20000)));
  {
    // The reads run dry after 12000 of the 20000 bytes.
    RecordedReads recorded;
    recorded.log.stop_after = 12000;
    DigestContext ctx;
    EXPECT_FALSE(ctx.HashFile(path));
    EXPECT_EQ(recorded.log.sizes, (std::vector<int32_t>{8000, 8000, 8000}));
  }
  {
    RecordedReads recorded;
    recorded.log.fail = true;
    DigestContext ctx;
    EXPECT_FALSE(ctx.HashFile(path));
    EXPECT_EQ(recorded.log.sizes, (std::vector<int32_t>{8000}));
  }
  DigestContext ctx;
  EXPECT_TRUE(ctx.HashFile(path));
}

TEST(DigestTest, PackagesOf2GiBAndMore) {
  // Sparse: "package\n", zeros, and an "x" as byte 2^31, 2 GiB + 1 bytes.
  const int64_t kSize = (int64_t{1} << 31) + 1;
  // The host's sha1sum of that content.
  const std::string kDigest = "E73A35675B05CA4ABE10E68D637614187F025FB4";
  TempDir tmp;
  std::string path = tmp / "big.pkg";
  {
    platform::FileOpenOptions o;
    o.disposition = platform::FileDisposition::kCreateAlways;
    std::unique_ptr<platform::File> f = platform::OpenFile(path, o);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->Write("package\n", 8), platform::Status::kOk);
    ASSERT_EQ(f->SeekTo(kSize - 1), platform::Status::kOk);
    ASSERT_EQ(f->Write("x", 1), platform::Status::kOk);
    ASSERT_EQ(f->Close(), platform::Status::kOk);
  }
  ASSERT_EQ(platform::FileSize(path), kSize);
  // One pass (2 GiB in 8000-byte reads is slow under emulation): the check
  // the engine makes, with its reads recorded.
  RecordedReads recorded;
  EXPECT_TRUE(VerifyPackage(path, kDigest));
  ASSERT_FALSE(recorded.log.sizes.empty());
  EXPECT_EQ(recorded.log.sizes.size(), static_cast<size_t>((kSize + 7999) / 8000));
  EXPECT_EQ(recorded.log.sizes.back(), static_cast<int32_t>(kSize % 8000));
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
