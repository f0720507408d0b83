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

  EXPECT_FALSE(platform::CreateOwnerOnlyFile(path, "other"));
  ASSERT_TRUE(platform::ReadFileToString(path, &back));
  EXPECT_EQ(back, "seed text\n");

  // An ordinary file is not owner-only; the check can tell.
  ASSERT_TRUE(platform::WriteStringToFile(dir / "plain.txt", "x"));
  EXPECT_FALSE(platform::IsOwnerOnlyFile(dir / "plain.txt"));
  EXPECT_FALSE(platform::IsOwnerOnlyFile(dir / "missing"));
  EXPECT_FALSE(platform::CreateOwnerOnlyFile(dir / "no-such-dir/k", "x"));

  // Whether the file is owner-only can be told only where the file system
  // keeps such a protection at all (a system call's own, not ours).
  std::string why;
  if (!platform::KeepsOwnerOnlyProtection(dir.Path(), &why))
    GTEST_SKIP() << "this file system does not keep an owner-only protection as written: " << why;
  EXPECT_TRUE(platform::IsOwnerOnlyFile(path));
}

}  // namespace
