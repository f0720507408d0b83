#include "platform/file.h"

#include <gtest/gtest.h>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/wide_text.h"
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

// Links lead out of the tree being emptied: a link inside goes as a link,
// and a tree that is itself a link is left alone. What they lead to stays.
TEST(FileTest, RecursiveDeletionNeverFollowsALink) {
  testkit::TempDir tmp, outside;
  const std::string kept = outside / "keep.txt";
  ASSERT_TRUE(WriteStringToFile(kept, "outside"));
  const std::string top = tmp / "Update";
  ASSERT_TRUE(MakeDirectory(top));
  ASSERT_TRUE(WriteStringToFile(JoinPath(top, "own.bin"), "1"));
  if (!testkit::MakeLink(outside.Path(), JoinPath(top, "dir-link"), true)) GTEST_SKIP() << "this system makes no links";
  ASSERT_TRUE(testkit::MakeLink(kept, JoinPath(top, "file-link"), false));
  EXPECT_TRUE(IsLink(JoinPath(top, "dir-link")));
  EXPECT_FALSE(IsLink(top));
  EXPECT_FALSE(IsLink(kept));
  DeleteFilesRecursively(top);
  EXPECT_FALSE(Exists(JoinPath(top, "own.bin")));
  EXPECT_FALSE(IsLink(JoinPath(top, "dir-link")));
  EXPECT_FALSE(IsLink(JoinPath(top, "file-link")));
  EXPECT_TRUE(IsDirectory(top));
  std::string got;
  ASSERT_TRUE(ReadFileToString(kept, &got));
  EXPECT_EQ(got, "outside");

  // The tree itself a link, with or without a separator after it.
  const std::string linked = tmp / "Linked";
  ASSERT_TRUE(testkit::MakeLink(outside.Path(), linked, true));
  DeleteFilesRecursively(linked + kPathSep);
  DeleteFilesRecursively(linked);
  EXPECT_TRUE(Exists(kept));
  EXPECT_TRUE(IsLink(linked));
}

// The real name resolves ".." and every link along the way, and names the
// file itself; what does not exist, or a link to nowhere, has none.
TEST(FileTest, RealPathResolvesLinksAndRefusesWhatIsMissing) {
  testkit::TempDir tmp, outside;
  const std::string dir = tmp / "Dir";
  ASSERT_TRUE(MakeDirectory(dir));
  ASSERT_TRUE(MakeDirectory(JoinPath(dir, "sub")));
  ASSERT_TRUE(WriteStringToFile(JoinPath(dir, "f.txt"), "x"));
  std::string real_dir, real;
  ASSERT_TRUE(RealPath(dir, &real_dir));
  EXPECT_FALSE(real_dir.empty());
  ASSERT_TRUE(RealPath(JoinPath(JoinPath(dir, "sub"), ".."), &real));
  EXPECT_EQ(real, real_dir);
  ASSERT_TRUE(RealPath(JoinPath(dir, "f.txt"), &real));
  EXPECT_EQ(real, JoinPath(real_dir, "f.txt"));

  real = "untouched";
  EXPECT_FALSE(RealPath(JoinPath(dir, "missing"), &real));
  EXPECT_FALSE(RealPath(JoinPath(JoinPath(dir, "missing"), "f.txt"), &real));
  EXPECT_EQ(real, "untouched");

  std::string real_outside;
  ASSERT_TRUE(RealPath(outside.Path(), &real_outside));
  ASSERT_TRUE(WriteStringToFile(outside / "o.txt", "o"));
  if (!testkit::MakeLink(outside.Path(), JoinPath(dir, "out"), true)) GTEST_SKIP() << "this system makes no links";
  ASSERT_TRUE(RealPath(JoinPath(dir, "out"), &real));
  EXPECT_EQ(real, real_outside);
  ASSERT_TRUE(RealPath(JoinPath(JoinPath(dir, "out"), "o.txt"), &real));
  EXPECT_EQ(real, JoinPath(real_outside, "o.txt"));
  ASSERT_TRUE(testkit::MakeLink(outside / "gone", JoinPath(dir, "dangling"), true));
  EXPECT_FALSE(RealPath(JoinPath(dir, "dangling"), &real));
}

// A copy writes a temporary beside its target and renames it over the
// target. A link planted at either name is replaced, never written through.
TEST(FileTest, CopyNeverWritesThroughALink) {
  testkit::TempDir tmp, outside;
  const std::string source = tmp / "launcher", target = tmp / "copy";
  ASSERT_TRUE(WriteStringToFile(source, "the launcher"));
  const std::string victim = outside / "victim", other = outside / "other";
  ASSERT_TRUE(WriteStringToFile(victim, "victim's"));
  ASSERT_TRUE(WriteStringToFile(other, "other's"));
  // A temporary left behind is replaced.
  ASSERT_TRUE(WriteStringToFile(target + ".copy~", "left over"));
  ASSERT_TRUE(CopyFileOver(source, target));
  EXPECT_EQ(testkit::ReadFile(target), "the launcher");
  EXPECT_FALSE(Exists(target + ".copy~"));
  ASSERT_TRUE(RemoveFile(target));

  // A link at the target's name. Under Wine a link of the system beneath
  // stands in (Wine follows it as Windows follows a link; a rename replaces
  // it as on Windows).
  if (!testkit::MakeLink(other, target, false) && !testkit::MakeHostLink(other, target))
    GTEST_SKIP() << "this system makes no links";
  EXPECT_TRUE(CopyFileOver(source, target));
  EXPECT_EQ(testkit::ReadFile(other), "other's");
  EXPECT_FALSE(IsLink(target));
  EXPECT_EQ(testkit::ReadFile(target), "the launcher");
  ASSERT_TRUE(RemoveFile(target));

  // A link at the temporary's name. Wine's stand-in does not serve here: it
  // deletes what a link leads to where Windows deletes the link.
  if (!testkit::MakeLink(victim, target + ".copy~", false)) GTEST_SKIP() << "this system makes no links of its own";
  EXPECT_TRUE(CopyFileOver(source, target));
  EXPECT_EQ(testkit::ReadFile(victim), "victim's");
  EXPECT_EQ(testkit::ReadFile(target), "the launcher");
  EXPECT_FALSE(Exists(target + ".copy~"));
}

TEST(FileTest, OperationsCanBeOverriddenAndRestored) {
  testkit::TempDir tmp;
  ASSERT_TRUE(WriteStringToFile(tmp / "a", "x"));
  {
    ScopedFileCallsOverride fault;
    FileCalls().copy_file = [](const FileName&, const FileName&) { return false; };
    EXPECT_FALSE(CopyFileOver(tmp / "a", tmp / "b"));
  }
  EXPECT_TRUE(CopyFileOver(tmp / "a", tmp / "b"));
}

TEST(FileTest, DispositionsReadWriteAndSeek) {
  testkit::TempDir dir;
  const std::string name = dir / "h.bin";
  FileOpenOptions read;
  Status error = Status::kOk;
  EXPECT_EQ(OpenFile(name, read, &error), nullptr);
  EXPECT_EQ(error, Status::kRetryable);  // a missing file is the environment, not the call
  // ...and the status says what the system said, for the log.
  EXPECT_FALSE(error.text().empty());
  EXPECT_EQ(error.ToString(), "retryable: " + error.text());

  FileOpenOptions create;
  create.disposition = FileDisposition::kCreateNew;
  auto w = OpenFile(AnsiToWide(name), create);
  ASSERT_NE(w, nullptr);
  size_t n = 0;
  EXPECT_EQ(w->Write("hello world", 11, &n), Status::kOk);
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(w->SeekTo(6), Status::kOk);
  EXPECT_EQ(w->Write("W", 1), Status::kOk);
  EXPECT_EQ(w->SeekTo(-1), Status::kBadCall);
  int64_t size = 0;
  EXPECT_EQ(w->Size(&size), Status::kOk);
  EXPECT_EQ(size, 11);
  EXPECT_EQ(w->Close(), Status::kOk);
  EXPECT_EQ(w->Close(), Status::kBadCall);
  EXPECT_EQ(w->Write("x", 1), Status::kBadCall);
  EXPECT_EQ(OpenFile(name, create), nullptr);

  FileOpenOptions append;
  append.disposition = FileDisposition::kOpenAlways;
  auto a = OpenFile(name, append);
  ASSERT_NE(a, nullptr);
  int64_t end = 0;
  EXPECT_EQ(a->SeekToEnd(&end), Status::kOk);
  EXPECT_EQ(end, 11);
  EXPECT_EQ(a->Write("!", 1), Status::kOk);
  a.reset();

  auto r = OpenFile(name, read);
  ASSERT_NE(r, nullptr);
  char buf[32] = {};
  EXPECT_EQ(r->Read(buf, 32, &n), Status::kOk);
  EXPECT_EQ(std::string(buf, n), "hello World!");
  EXPECT_EQ(r->Read(buf, 4, &n), Status::kOk);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(r->Tell(), 12);
  r.reset();

  FileOpenOptions both;
  both.disposition = FileDisposition::kReadWrite;
  auto rw = OpenFile(name, both);
  ASSERT_NE(rw, nullptr);
  EXPECT_EQ(rw->SetLength(20), Status::kOk);  // grows with zeros, keeps the start
  EXPECT_EQ(rw->SeekTo(10), Status::kOk);
  EXPECT_EQ(rw->Read(buf, 32, &n), Status::kOk);
  EXPECT_EQ(std::string(buf, n), std::string("d!") + std::string(8, '\0'));
  EXPECT_EQ(rw->Flush(), Status::kOk);
  rw.reset();

  FileOpenOptions truncate;
  truncate.disposition = FileDisposition::kCreateAlways;
  EXPECT_NE(OpenFile(name, truncate), nullptr);
  EXPECT_EQ(FileSize(name), 0);
}

// Faults are injected per system call: a short write is continued, a failed
// one reported with the bytes that did reach the file.
TEST(FileTest, HandleCallsCanFailOneByOne) {
  testkit::TempDir dir;
  const std::string name = dir / "f.bin";
  static int writes;
  writes = 0;
  ScopedFileCallsOverride fault;
  FileCalls().write = [](NativeFile f, int64_t at, const void* src, size_t n, size_t* done) -> platform::Status {
    ++writes;
    if (writes == 3) {
      *done = 0;
      return Status::kRetryable;  // the disk is full
    }
    return RealFileCalls().write(f, at, src, n < 4 ? n : 4, done);  // 4 bytes a call
  };
  FileOpenOptions o;
  o.disposition = FileDisposition::kCreateAlways;
  auto f = OpenFile(name, o);
  ASSERT_NE(f, nullptr);
  size_t written = 0;
  EXPECT_EQ(f->Write("0123456789AB", 12, &written), Status::kRetryable);
  EXPECT_EQ(written, 8u);
  EXPECT_EQ(f->Tell(), 8);
  EXPECT_EQ(f->Write("89", 2, &written), Status::kOk);  // the disk has room again
  f.reset();
  std::string got;
  ASSERT_TRUE(ReadFileToString(name, &got));
  EXPECT_EQ(got, "0123456789");

  FileCalls().read = [](NativeFile, int64_t, void*, size_t, size_t* got) -> platform::Status {
    *got = 0;
    return Status::kRetryable;
  };
  EXPECT_FALSE(ReadFileToString(name, &got));
}

TEST(FileTest, ReplacedContentsSurviveAFailedReplacement) {
  testkit::TempDir dir;
  const std::string name = dir / "j.xml";
  ASSERT_EQ(ReplaceFileContents(name, "first"), Status::kOk);
  EXPECT_FALSE(Exists(name + ".tmp"));
  {
    ScopedFileCallsOverride fault;
    FileCalls().flush = [](NativeFile) -> platform::Status { return Status::kRetryable; };
    EXPECT_EQ(ReplaceFileContents(name, "second"), Status::kRetryable);
  }
  std::string got;
  ASSERT_TRUE(ReadFileToString(name, &got));
  EXPECT_EQ(got, "first");
  EXPECT_FALSE(Exists(name + ".tmp"));
}

// For a served file: a hidden temporary of this process beside it, renamed
// over it; a failed replacement leaves the old file and no temporary.
TEST(FileTest, ReplacementThroughAHiddenTemporary) {
  testkit::TempDir dir;
  const std::string name = dir / "latest-version.xml";
  const std::string temp = TemporaryNameFor(name);
  EXPECT_EQ(temp, dir / (".latest-version.xml.tmp-" + std::to_string(CurrentProcessId())));
  ASSERT_EQ(ReplaceFileThroughTemporary(name, "first"), Status::kOk);
  ASSERT_EQ(ReplaceFileThroughTemporary(name, "second"), Status::kOk);
  std::string got;
  ASSERT_TRUE(ReadFileToString(name, &got));
  EXPECT_EQ(got, "second");
  EXPECT_FALSE(Exists(temp));
  {
    ScopedFileCallsOverride fault;
    FileCalls().move_file = [](const FileName&, const FileName&) { return false; };
    EXPECT_EQ(ReplaceFileThroughTemporary(name, "third"), Status::kRetryable);
  }
  ASSERT_TRUE(ReadFileToString(name, &got));
  EXPECT_EQ(got, "second");
  EXPECT_FALSE(Exists(temp));
}

TEST(FileTest, OperationsOnWideNames) {
  testkit::TempDir dir;
  const std::wstring a = AnsiToWide(dir / "a.txt"), b = AnsiToWide(dir / "b.txt");
  ASSERT_TRUE(WriteStringToFile(dir / "a.txt", "abc"));
  EXPECT_TRUE(Exists(a));
  EXPECT_EQ(FileSize(a), 3);
  EXPECT_EQ(ReadOnlyState(a), 0);
  EXPECT_EQ(ReadOnlyState(b), -1);
  EXPECT_GT(ModifiedTime(a), 0);
  EXPECT_TRUE(RenameFile(a, b));
  EXPECT_FALSE(Exists(a));
  EXPECT_TRUE(MakeDirectory(AnsiToWide(dir / "sub")));
  std::vector<WideDirEntry> entries;
  ASSERT_TRUE(ListDirectory(AnsiToWide(dir.Path()), &entries));
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_TRUE(RemoveEmptyDirectory(AnsiToWide(dir / "sub")));
  EXPECT_TRUE(RemoveFile(b));
  EXPECT_FALSE(Exists(b));

  const std::wstring saved = WideWorkingDirectory();
  EXPECT_TRUE(ChangeWorkingDirectory(AnsiToWide(dir.Path())));
  EXPECT_TRUE(WriteStringToFile("here.txt", "x"));
  EXPECT_TRUE(Exists(dir / "here.txt"));
  EXPECT_TRUE(ChangeWorkingDirectory(saved));
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
