#include "platform/owner_file.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "testing/testing.h"

namespace {

TEST(OwnerOnlyFile, CreatesAFileOnlyItsOwnerMayOpenAndNeverReplacesOne) {
  testkit::TempDir dir;
  const std::string path = dir / "secret.key";
  ASSERT_TRUE(platform::CreateOwnerOnlyFile(path, "seed text\n"));
  std::string back;
  ASSERT_TRUE(platform::ReadFileToString(path, &back));
  EXPECT_EQ(back, "seed text\n");
  EXPECT_TRUE(platform::IsOwnerOnlyFile(path));

  EXPECT_FALSE(platform::CreateOwnerOnlyFile(path, "other"));
  ASSERT_TRUE(platform::ReadFileToString(path, &back));
  EXPECT_EQ(back, "seed text\n");

  // An ordinary file is not owner-only; the check can tell.
  ASSERT_TRUE(platform::WriteStringToFile(dir / "plain.txt", "x"));
  EXPECT_FALSE(platform::IsOwnerOnlyFile(dir / "plain.txt"));
  EXPECT_FALSE(platform::IsOwnerOnlyFile(dir / "missing"));
  EXPECT_FALSE(platform::CreateOwnerOnlyFile(dir / "no-such-dir/k", "x"));
}

}  // namespace
