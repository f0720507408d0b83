#include "platform/owner_file.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// The check a private key must pass names what lets other users in.
TEST(OwnerOnlyFile, APrivateFileIsOneNoOtherUserMayOpen) {
  testkit::TempDir dir;
  std::string why;
  EXPECT_FALSE(platform::IsPrivateFile(dir / "missing", &why));
  EXPECT_FALSE(why.empty());

  ASSERT_TRUE(platform::CreateOwnerOnlyFile(dir / "secret.key", "x"));
  why.clear();
  EXPECT_TRUE(platform::IsPrivateFile(dir / "secret.key", &why)) << why;
  ASSERT_TRUE(platform::CreateOwnerOnlyFile(dir / "readable.key", "x"));
  ASSERT_TRUE(testkit::OpenToOthers(dir / "readable.key", false));
  EXPECT_FALSE(platform::IsPrivateFile(dir / "readable.key", &why));
#ifdef _WIN32
  EXPECT_NE(why.find("S-1-1-0"), std::string::npos) << why;
#else
  EXPECT_EQ(why, "mode 0644");
  // Any permission for the group or others counts, reading or not.
  const std::string path = dir / "secret.key";
  for (unsigned mode : {0640u, 0604u, 0620u, 0602u, 0610u, 0601u}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_FALSE(platform::IsPrivateFile(path, &why)) << std::oct << mode;
  }
  for (unsigned mode : {0600u, 0400u, 0700u}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_TRUE(platform::IsPrivateFile(path, &why)) << std::oct << mode;
  }
#endif
}

// What a program left for itself is taken as its own only when no one else
// may have changed it.
TEST(OwnerOnlyFile, OwnUnchangedMeansThisUsersAndClosedToOthers) {
  testkit::TempDir dir;
  std::string why;
  EXPECT_FALSE(platform::IsOwnUnchanged(dir / "missing", false, &why));
  ASSERT_TRUE(platform::WriteStringToFile(dir / "journal", "x"));
#ifndef _WIN32
  const mode_t old_mask = umask(002);  // a umask that lets the group write
#endif
  ASSERT_TRUE(platform::MakeOwnUnchangedDirectory(dir / "stage"));
#ifndef _WIN32
  umask(old_mask);
#endif
  EXPECT_FALSE(platform::MakeOwnUnchangedDirectory(dir / "stage"));
  EXPECT_TRUE(platform::IsOwnUnchanged(dir / "journal", false, &why)) << why;
  EXPECT_TRUE(platform::IsOwnUnchanged(dir / "stage", true, &why)) << why;
  // The kind asked for.
  EXPECT_FALSE(platform::IsOwnUnchanged(dir / "stage", false, &why));
  EXPECT_FALSE(platform::IsOwnUnchanged(dir / "journal", true, &why));
  // Readable by others is fine, changeable is not.
  ASSERT_TRUE(testkit::OpenToOthers(dir / "journal", false));
  EXPECT_TRUE(platform::IsOwnUnchanged(dir / "journal", false, &why)) << why;
  ASSERT_TRUE(testkit::OpenToOthers(dir / "journal", true));
  ASSERT_TRUE(testkit::OpenToOthers(dir / "stage", true));
  EXPECT_FALSE(platform::IsOwnUnchanged(dir / "journal", false, &why));
  EXPECT_NE(why.find("change it"), std::string::npos) << why;
  EXPECT_FALSE(platform::IsOwnUnchanged(dir / "stage", true, &why));
#ifndef _WIN32
  EXPECT_EQ(why, "has mode 0777, which lets other users change it");
  ASSERT_EQ(symlink((dir / "stage").c_str(), (dir / "link").c_str()), 0);
  EXPECT_FALSE(platform::IsOwnUnchanged(dir / "link", true, &why));
  EXPECT_EQ(why, "is a link");
  if (geteuid() == 0) {
    ASSERT_TRUE(platform::WriteStringToFile(dir / "theirs", "x"));
    ASSERT_EQ(chown((dir / "theirs").c_str(), 4242, 4242), 0);
    EXPECT_FALSE(platform::IsOwnUnchanged(dir / "theirs", false, &why));
    EXPECT_NE(why.find("owned by user 4242"), std::string::npos) << why;
  }
#endif
}

}  // namespace
