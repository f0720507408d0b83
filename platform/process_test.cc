#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/file.h"
#include "testing/testing.h"

namespace platform {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLineTest, FollowsTheWindowsRules) {
  EXPECT_EQ(SplitCommandLine(""), Args{});
  EXPECT_EQ(SplitCommandLine("prog"), Args{"prog"});
  EXPECT_EQ(SplitCommandLine("C:\\dir\\prog.exe -c update "), (Args{"C:\\dir\\prog.exe", "-c", "update"}));
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\a.exe\" x"), (Args{"C:\\Program Files\\a.exe", "x"}));
  EXPECT_EQ(SplitCommandLine("p \"a b\"c d"), (Args{"p", "a bc", "d"}));
  EXPECT_EQ(SplitCommandLine("p a\\\\\\\"b"), (Args{"p", "a\\\"b"}));  // 3 backslashes + quote
  EXPECT_EQ(SplitCommandLine("p a\\\\\"b c\""), (Args{"p", "a\\b c"}));  // 2 backslashes + quote
  EXPECT_EQ(SplitCommandLine("p a\\b\\"), (Args{"p", "a\\b\\"}));
  EXPECT_EQ(SplitCommandLine("p \"\""), (Args{"p", ""}));
  EXPECT_EQ(SplitCommandLine("p /D=C:\\My Games\\"), (Args{"p", "/D=C:\\My", "Games\\"}));
}

TEST(SplitCommandLineTest, QuotingRoundTrips) {
  for (std::string arg : {"plain", "with blank", "quote\"inside", "trailing\\", "tail\\ blank\\", ""}) {
    Args got = SplitCommandLine("p " + QuoteArgument(arg));
    ASSERT_EQ(got.size(), 2u) << arg;
    EXPECT_EQ(got[1], arg);
  }
}

TEST(ProcessTest, StartWaitExitCodeAndWorkingDirectory) {
  testkit::TempDir tmp;
  std::string out = tmp / "out.txt";
  auto p = StartProcess(QuoteArgument(testkit::BuiltProgram("test_child")) + " " + QuoteArgument(out) +
                            " 7 0 \"two words\" last",
                        tmp.Path());
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->Wait());
  EXPECT_EQ(p->ExitCode(), 7);
  std::string text;
  ASSERT_TRUE(ReadFileToString(out, &text));
  EXPECT_NE(text.find("two words\nlast\n"), std::string::npos) << text;
  std::string dir = tmp.Path();
  dir.pop_back();
  EXPECT_EQ(text.substr(0, text.find('\n')), dir);
}

TEST(ProcessTest, OutputGoesToTheGivenFile) {
  testkit::TempDir tmp;
  std::string out = tmp / "captured.txt";
  ASSERT_TRUE(WriteStringToFile(out, "stale text that is longer than the output"));
  auto p = StartProcess(QuoteArgument(testkit::BuiltProgram("test_child")) + " - 3 0 shown", tmp.Path(), out);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->Wait());
  EXPECT_EQ(p->ExitCode(), 3);
  std::string text;
  ASSERT_TRUE(ReadFileToString(out, &text));
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // a text-mode stream
  std::string dir = tmp.Path();
  dir.pop_back();
  // Truncated first; the child's first line is its directory.
  EXPECT_EQ(text.substr(0, text.find('\n')), dir) << text;
  EXPECT_NE(text.find("\nshown\n"), std::string::npos) << text;
  // A file that cannot be created starts nothing.
  EXPECT_EQ(StartProcess(QuoteArgument(testkit::BuiltProgram("test_child")) + " - 0", "", tmp / "no/dir/x"), nullptr);
}

TEST(ProcessTest, WaitForAndWaitForProcessEnd) {
  testkit::TempDir tmp;
  auto p = StartProcess(QuoteArgument(testkit::BuiltProgram("test_child")) + " " + QuoteArgument(tmp / "o") +
                        " 0 400");
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(ProcessIsAlive(p->Id()));
  EXPECT_FALSE(p->WaitFor(10));
  std::thread reaper([&] { p->Wait(); });
  WaitForProcessEnd(p->Id());
  reaper.join();
  EXPECT_FALSE(ProcessIsAlive(p->Id()));
}

// A tied child runs like any other (directory, arguments, output, exit
// code) and does not outlive the object that holds it.
TEST(ProcessTest, ATiedChildRunsAndEndsWithItsObject) {
  testkit::TempDir tmp;
  const std::string child = QuoteArgument(testkit::BuiltProgram("test_child"));
  auto p = StartTiedProcess(child + " - 4 0 said", tmp.Path(), tmp / "out.txt");
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(p->WaitFor(20000));
  EXPECT_EQ(p->ExitCode(), 4);
  std::string out;
  ASSERT_TRUE(ReadFileToString(tmp / "out.txt", &out));
  EXPECT_NE(out.find("\nsaid"), std::string::npos) << out;

  auto sleeper = StartTiedProcess(child + " - 0 20000", tmp.Path(), tmp / "sleeper.txt");
  ASSERT_NE(sleeper, nullptr);
  const uint32_t id = sleeper->Id();
  ASSERT_FALSE(sleeper->WaitFor(100));
  sleeper.reset();
  bool ended = false;
  for (int i = 0; i < 40 && !ended; ++i) {
    ended = !ProcessIsAlive(id);
    if (!ended) SleepMs(50);
  }
  EXPECT_TRUE(ended) << "the tied child outlived its object by 2 s";
  EXPECT_EQ(StartTiedProcess(QuoteArgument(tmp / "missing-program"), "", tmp / "x.txt"), nullptr);
}

// Fills the stack below the caller with `value`, as a call that passed a
// handle around leaves it.
__attribute__((noinline)) void LeaveOnTheStack(intptr_t value) {
  volatile intptr_t area[8192];
  for (volatile intptr_t& slot : area) slot = value;
}

TEST(ProcessTest, AHostProgramLeavesTheCallersHandlesOpen) {
  // Under an emulator a program of the host system starts without handles;
  // whatever the slots held must not be closed as if they were its handles.
  const std::string shell = "/bin/sh";
  if (!Exists(shell) && !Exists("Z:" + shell)) GTEST_SKIP() << "no host shell";
  testkit::TempDir tmp;
  FileOpenOptions options;
  options.disposition = FileDisposition::kCreateAlways;
  NativeFile kept = 0;
  ASSERT_TRUE(RealFileCalls().open(tmp / "kept.txt", options, &kept).ok());
  for (int i = 0; i < 20; ++i) {
    LeaveOnTheStack(kept);
    auto p = StartProcess(QuoteArgument(shell) + " -c true");
    ASSERT_NE(p, nullptr);
    p->WaitFor(2000);
  }
  size_t written = 0;
  EXPECT_TRUE(RealFileCalls().write(kept, 0, "x", 1, &written).ok());
  EXPECT_TRUE(RealFileCalls().close(kept).ok());
}

TEST(ProcessTest, KillProcessEndsAProcessByItsId) {
  testkit::TempDir tmp;
  auto p = StartProcess(QuoteArgument(testkit::BuiltProgram("test_child")) + " - 0 20000", tmp.Path(),
                        tmp / "out.txt");
  ASSERT_NE(p, nullptr);
  ASSERT_FALSE(p->WaitFor(100));
  EXPECT_TRUE(KillProcess(p->Id()));
  EXPECT_TRUE(p->WaitFor(5000)) << "still running 5 s after it was killed";
  EXPECT_FALSE(KillProcess(0x7ffffff0u));
}

TEST(ProcessTest, MissingProgramFails) {
  testkit::TempDir tmp;
  EXPECT_EQ(StartProcess(tmp / "no-such-program"), nullptr);
}

TEST(ProcessTest, CurrentIdsAndAliveness) {
  EXPECT_NE(CurrentProcessId(), 0u);
  EXPECT_TRUE(ProcessIsAlive(CurrentProcessId()));
  uint32_t main_tid = CurrentThreadId(), other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(main_tid, other);
  WaitForProcessEnd(0x7ffffff0u);  // no such process: returns at once
}

}  // namespace
}  // namespace platform
