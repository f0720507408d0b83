#include "platform/file_handle.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/file.h"
#include "platform/wide_file.h"
#include "platform/wide_text.h"
#include "testing/testing.h"

namespace platform {
namespace {

TEST(FileHandle, DispositionsReadWriteAndSeek) {
  testkit::TempDir dir;
  const std::string name = dir / "h.bin";
  FileOpenOptions read;
  EXPECT_EQ(OpenFileHandle(name, read), nullptr);

  FileOpenOptions create;
  create.disposition = FileDisposition::kCreateNew;
  auto w = OpenFileHandle(AnsiToWide(name), create);
  ASSERT_NE(w, nullptr);
  int32_t n = 0;
  EXPECT_TRUE(w->Write("hello world", 11, &n));
  EXPECT_EQ(n, 11);
  EXPECT_TRUE(w->SeekTo(6));
  EXPECT_TRUE(w->Write("W", 1, &n));
  EXPECT_EQ(w->Size(), 11);
  EXPECT_TRUE(w->Close());
  EXPECT_FALSE(w->Close());
  EXPECT_EQ(OpenFileHandle(name, create), nullptr);

  FileOpenOptions append;
  append.disposition = FileDisposition::kOpenAlways;
  auto a = OpenFileHandle(name, append);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->SeekToEnd(), 11);
  EXPECT_TRUE(a->Write("!", 1, &n));
  a.reset();

  auto r = OpenFileHandle(name, read);
  ASSERT_NE(r, nullptr);
  char buf[32] = {};
  EXPECT_TRUE(r->Read(buf, 32, &n));
  EXPECT_EQ(std::string(buf, n), "hello World!");
  EXPECT_TRUE(r->Read(buf, 4, &n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(r->Tell(), 12);
  r.reset();

  FileOpenOptions truncate;
  truncate.disposition = FileDisposition::kCreateAlways;
  EXPECT_NE(OpenFileHandle(name, truncate), nullptr);
  EXPECT_EQ(FileSize(name), 0);
}

TEST(WideFile, OperationsOnWideNames) {
  testkit::TempDir dir;
  const std::wstring a = AnsiToWide(dir / "a.txt"), b = AnsiToWide(dir / "b.txt");
  ASSERT_TRUE(WriteStringToFile(dir / "a.txt", "abc"));
  EXPECT_TRUE(WidePathExists(a));
  EXPECT_EQ(WideFileSize(a), 3);
  EXPECT_EQ(WideReadOnlyState(a), 0);
  EXPECT_EQ(WideReadOnlyState(b), -1);
  EXPECT_GT(WideModifiedTime(a), 0);
  EXPECT_TRUE(WideMoveFile(a, b));
  EXPECT_FALSE(WidePathExists(a));
  EXPECT_TRUE(WideMakeDirectory(AnsiToWide(dir / "sub")));
  std::vector<WideDirEntry> entries;
  ASSERT_TRUE(WideListDirectory(AnsiToWide(dir.Path()), &entries));
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_TRUE(WideRemoveDirectory(AnsiToWide(dir / "sub")));
  EXPECT_TRUE(WideDeleteFile(b));
  EXPECT_FALSE(WidePathExists(b));

  const std::wstring saved = WideWorkingDirectory();
  EXPECT_TRUE(WideChangeWorkingDirectory(AnsiToWide(dir.Path())));
  EXPECT_TRUE(WriteStringToFile("here.txt", "x"));
  EXPECT_TRUE(Exists(dir / "here.txt"));
  EXPECT_TRUE(WideChangeWorkingDirectory(saved));
  EXPECT_FALSE(DriveRoots().empty());
}

TEST(WideText, AnsiRoundTripAndCommandLine) {
  EXPECT_EQ(WideToAnsi(L"plain ASCII 123"), "plain ASCII 123");
  EXPECT_EQ(AnsiToWide("plain ASCII 123"), L"plain ASCII 123");
  EXPECT_EQ(AnsiToWide(WideToAnsi(L"")), L"");
  EXPECT_NE(WideCommandLine().find(L"platform_test"), std::wstring::npos);
}

}  // namespace
}  // namespace platform
