#include "platform/sealed_file.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/path.h"
#include "testing/testing.h"

namespace platform {
namespace {

// Tries to overwrite the start of the file at `name` in place, as another
// process with write access would. True when the write went through.
bool OverwriteInPlace(const std::string& name) {
  FileOpenOptions o;
  o.disposition = FileDisposition::kOpenAlways;
  o.share_read = true;
  o.share_write = true;
  std::unique_ptr<File> f = OpenFile(name, o);
  if (!f) return false;
  const std::string junk(64, 'X');
  bool ok = f->Write(junk.data(), junk.size()) == Status::kOk;
  return f->Close() == Status::kOk && ok;
}

bool CanOpenForWriting(const std::string& name) {
  FileOpenOptions o;
  o.disposition = FileDisposition::kOpenAlways;
  o.share_read = true;
  o.share_write = true;
  return OpenFile(name, o) != nullptr;
}

TEST(SealedFileTest, WritersCannotChangeWhatIsCheckedAndRun) {
  testkit::TempDir tmp;
  const std::string program = tmp / (std::string("held") + kExeSuffix);
  ASSERT_TRUE(CopyFileOver(testkit::BuiltProgram("test_child"), program));
  std::string original;
  ASSERT_TRUE(ReadFileToString(program, &original));
  ASSERT_GT(original.size(), 64u);

  std::string error;
  std::unique_ptr<SealedFile> held = SealedFile::Seal(program, &error);
  ASSERT_NE(held, nullptr) << error;

  // Another writer, through the file's name and through the held name.
#ifdef _WIN32
  // The name itself is locked against writers until the start.
  EXPECT_FALSE(CanOpenForWriting(program));
#endif
  const bool changed_name = OverwriteInPlace(program);
  const bool changed_held = OverwriteInPlace(held->ReadPath());
  EXPECT_FALSE(changed_held);
  std::string seen;
  ASSERT_TRUE(ReadFileToString(held->ReadPath(), &seen));
  EXPECT_TRUE(seen == original) << "the held content changed (write by name went through: " << changed_name << ")";

  // The program started is the held one, with the command line as given.
  const std::string out = tmp / "out.txt";
  std::unique_ptr<Process> p = held->Start(QuoteArgument(program) + " " + QuoteArgument(out) + " 7 0 arg");
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(p->WaitFor(20000));
  EXPECT_EQ(p->ExitCode(), 7);
  std::string lines;
  ASSERT_TRUE(ReadFileToString(out, &lines));
  EXPECT_NE(lines.find("\n" + program + "\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("\narg\n"), std::string::npos) << lines;

  // Released: the file is an ordinary file again.
  held.reset();
  EXPECT_TRUE(CanOpenForWriting(program));
}

// The hold lasts while the started program runs, not just until it starts:
// a program that reads its own file by name meanwhile must find the checked
// bytes (Windows lets anyone rename a running program's file; the hold does
// not).
TEST(SealedFileTest, TheHoldLastsUntilTheProgramHasEnded) {
  testkit::TempDir tmp;
  const std::string program = tmp / (std::string("held") + kExeSuffix);
  ASSERT_TRUE(CopyFileOver(testkit::BuiltProgram("test_child"), program));
  std::string original;
  ASSERT_TRUE(ReadFileToString(program, &original));
  std::string error;
  std::unique_ptr<SealedFile> held = SealedFile::Seal(program, &error);
  ASSERT_NE(held, nullptr) << error;
  std::unique_ptr<Process> p = held->Start(QuoteArgument(program) + " - 0 1500");
  ASSERT_NE(p, nullptr);
  ASSERT_FALSE(p->WaitFor(200)) << "the child ended before the checks";
#ifdef _WIN32
  EXPECT_FALSE(CanOpenForWriting(program));
  EXPECT_FALSE(RenameFile(program, tmp / "moved"));
  EXPECT_FALSE(RemoveFile(program));
#endif
  EXPECT_FALSE(OverwriteInPlace(held->ReadPath()));
  std::string seen;
  ASSERT_TRUE(ReadFileToString(held->ReadPath(), &seen));
  EXPECT_TRUE(seen == original);
  ASSERT_TRUE(p->WaitFor(20000));
  held.reset();
  EXPECT_TRUE(RenameFile(program, tmp / "moved"));
}

TEST(SealedFileTest, MissingFileIsNotHeld) {
  testkit::TempDir tmp;
  std::string error;
  EXPECT_EQ(SealedFile::Seal(tmp / "none", &error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace platform
