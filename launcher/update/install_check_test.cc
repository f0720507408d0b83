#include "launcher/update/install_check.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "delta_setup/delta_format.h"
#include "platform/file.h"
#include "platform/path.h"
#include "testing/testing.h"

namespace {

release::ManifestFile Listed(const std::string& path, const std::string& data) {
  return {path, delta_package::Sha256Of(data), data.size(), 0, false};
}

TEST(FilesThatDiffer, MissingOtherSizeAndOtherBytesOnAnyNumberOfThreads) {
  testkit::TempDir dir;
  const std::string root = platform::JoinPath(dir.Path(), "");
  platform::MakeDirectories(root + "System");
  std::vector<release::ManifestFile> files;
  std::vector<size_t> want;
  // 40 files; every third missing, damaged or cut short in turn.
  for (int i = 0; i < 40; ++i) {
    const std::string data = testkit::Pattern(1000 + i * 997), path = "System/f" + std::to_string(i) + ".u";
    files.push_back(Listed(path, data));
    std::string on_disk = data;
    if (i % 3 == 1) {
      if (i % 2) on_disk[on_disk.size() / 2] ^= 1;  // same size, other bytes
      else on_disk.pop_back();
      want.push_back(i);
    }
    if (i % 3 != 2 || i % 2) {
      ASSERT_TRUE(platform::WriteStringToFile(root + "System" + platform::kPathSep + "f" + std::to_string(i) + ".u",
                                              on_disk));
    } else {
      want.push_back(i);  // missing
    }
  }
  std::sort(want.begin(), want.end());
  for (unsigned threads : {1u, 2u, 7u, 0u, 1000u}) EXPECT_EQ(FilesThatDiffer(root, files, threads), want) << threads;
  EXPECT_TRUE(FilesThatDiffer(root, {}, 4).empty());
  // A directory where a file is listed differs too.
  EXPECT_EQ(FilesThatDiffer(root, {Listed("System", "")}), std::vector<size_t>{0});
  EXPECT_GE(HashThreads(), 1u);
  EXPECT_LE(HashThreads(), kMaxHashThreads);
}

}  // namespace
