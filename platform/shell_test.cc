#include "platform/shell.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "testing/testing.h"

namespace platform {
namespace {

TEST(ShellTest, StartsInTheDirectoryWithTheParameters) {
  testkit::TempDir tmp;
  const std::string work = tmp / "work";
  ASSERT_TRUE(MakeDirectories(work));
  const std::string out = tmp / "out.txt";
  const int code = ShellOpen(testkit::BuiltProgram("test_child"), QuoteArgument(out) + " 0 0 -x \"two words\" ", work);
  EXPECT_GT(code, kShellOpenMaxError);
  // The program is not waited for.
  std::string text;
  for (int i = 0; i < 200 && (!ReadFileToString(out, &text) || text.find("two words") == std::string::npos); ++i)
    SleepMs(50);
  EXPECT_NE(text.find("work\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n-x\ntwo words\n"), std::string::npos) << text;
}

TEST(ShellTest, FailuresGiveTheShellsCodes) {
  testkit::TempDir tmp;
  EXPECT_EQ(ShellOpen(tmp / "missing" + kExeSuffix, "", ""), kShellFileNotFound);
  // A working directory that does not exist.
  const std::string out = tmp / "out.txt";
  const int code = ShellOpen(testkit::BuiltProgram("test_child"), QuoteArgument(out) + " 0 0", tmp / "no-such-dir");
#ifdef _WIN32
  // The shell may refuse the directory or start the program anyway.
  if (code <= kShellOpenMaxError) {
    EXPECT_TRUE(code == kShellPathNotFound || code == kShellFileNotFound) << code;
  } else {
    std::string text;
    for (int i = 0; i < 200 && !ReadFileToString(out, &text); ++i) SleepMs(50);
    EXPECT_TRUE(Exists(out)) << "success reported for a program that did not run";
  }
#else
  EXPECT_EQ(code, kShellPathNotFound);
#endif
}

}  // namespace
}  // namespace platform
