#include "platform/file.h"

#include <gtest/gtest.h>

#include "platform/path.h"
#include "testing/testing.h"

namespace platform {
namespace {

TEST(PathTest, SplitsAtEitherSeparator) {
  EXPECT_EQ(BaseName(std::string("a") + kPathSep + "b.exe"), "b.exe");
  EXPECT_EQ(BaseName("a/b/c"), "c");
  EXPECT_EQ(DirName("a/b/c"), "a/b/");
  EXPECT_EQ(DirName("plain"), "");
  EXPECT_EQ(JoinPath("dir/", "x"), "dir/x");
  EXPECT_EQ(JoinPath("dir", "x"), std::string("dir") + kPathSep + "x");
}

TEST(PathTest, ExecutableLiesInItsDirectory) {
  std::string exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(Exists(exe));
  EXPECT_EQ(ExecutableDir() + BaseName(exe), exe);
  static int marker;
  EXPECT_EQ(ModulePathOf(&marker), exe);
}

TEST(FileTest, DirectoriesFilesAndAttributes) {
  testkit::TempDir tmp;
  std::string dir = tmp / "sub";
  EXPECT_FALSE(Exists(dir));
  EXPECT_TRUE(MakeDirectory(dir));
  EXPECT_FALSE(MakeDirectory(dir));  // exists already
  EXPECT_TRUE(IsDirectory(dir));

  std::string a = JoinPath(dir, "a.txt"), b = JoinPath(dir, "b.txt");
  ASSERT_TRUE(WriteStringToFile(a, "hello"));
  EXPECT_EQ(FileSize(a), 5);
  EXPECT_EQ(FileSize(dir), -1);
  EXPECT_FALSE(RemoveEmptyDirectory(dir));

  ASSERT_TRUE(WriteStringToFile(b, "old contents"));
  EXPECT_TRUE(CopyFileOver(a, b));  // overwrites
  std::string got;
  ASSERT_TRUE(ReadFileToString(b, &got));
  EXPECT_EQ(got, "hello");
  EXPECT_FALSE(CopyFileOver(tmp / "missing", b));

  EXPECT_FALSE(IsReadOnly(a));
  EXPECT_TRUE(SetReadOnly(a, true));
  EXPECT_TRUE(IsReadOnly(a));
  EXPECT_TRUE(SetReadOnly(a, false));
  EXPECT_FALSE(IsReadOnly(a));

  EXPECT_TRUE(RenameFile(a, b));
  EXPECT_FALSE(Exists(a));
  EXPECT_TRUE(RemoveFile(b));
  EXPECT_FALSE(RemoveFile(b));
  EXPECT_TRUE(RemoveEmptyDirectory(dir));
}

TEST(FileTest, RecursiveDeletionKeepsDirectories) {
  testkit::TempDir tmp;
  std::string top = tmp / "Update";
  ASSERT_TRUE(MakeDirectories(JoinPath(JoinPath(top, "x"), "y")));
  std::string deep = JoinPath(JoinPath(JoinPath(top, "x"), "y"), "f.bin");
  ASSERT_TRUE(WriteStringToFile(deep, "1"));
  ASSERT_TRUE(WriteStringToFile(JoinPath(top, "g.bin"), "2"));
  DeleteFilesRecursively(top);
  EXPECT_FALSE(Exists(deep));
  EXPECT_FALSE(Exists(JoinPath(top, "g.bin")));
  EXPECT_TRUE(IsDirectory(JoinPath(JoinPath(top, "x"), "y")));
  DeleteFilesRecursively(tmp / "absent");  // nothing to do
}

TEST(FileTest, OperationsCanBeOverriddenAndRestored) {
  testkit::TempDir tmp;
  ASSERT_TRUE(WriteStringToFile(tmp / "a", "x"));
  {
    ScopedFileOverride fault;
    Files().copy_file = [](const std::string&, const std::string&) { return false; };
    EXPECT_FALSE(CopyFileOver(tmp / "a", tmp / "b"));
  }
  EXPECT_TRUE(CopyFileOver(tmp / "a", tmp / "b"));
}

}  // namespace
}  // namespace platform
