#include "patcher/gleaner.h"

#include <algorithm>

#include "gtest/gtest.h"
#include "patcher/engine/file_manager_windows.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/wide_text.h"
#include "publisher/pkgtool/buffer_archive.h"
#include "publisher/pkgtool/package_tool.h"
#include "testing/testing.h"

namespace {

using testkit::TempDir;

TEST(GleanerCommandLine, ThreeQuotedPathsAfterTheProgram) {
  std::wstring D, O, N;
  EXPECT_TRUE(ParseGleanerCommandLine(L"C:\\x\\Gleaner.exe \"a b\" \"c\" \"d\"", &D, &O, &N));
  EXPECT_EQ(D, L"a b");
  EXPECT_EQ(O, L"c");
  EXPECT_EQ(N, L"d");
  // A quoted program path, a fourth argument, no blanks between.
  EXPECT_TRUE(ParseGleanerCommandLine(L"\"C:\\my dir\\Gleaner.exe\" \"a\"\"b\"\"c\" \"e\"", &D, &O, &N));
  EXPECT_EQ(D + O + N, L"abc");
  // Unquoted paths run into the program's path.
  EXPECT_FALSE(ParseGleanerCommandLine(L"Gleaner.exe a b c", &D, &O, &N));
  // A piece starting with a blank does not count.
  EXPECT_FALSE(ParseGleanerCommandLine(L"Gleaner.exe \" a\" \"b\" \"c\"", &D, &O, &N));
  EXPECT_FALSE(ParseGleanerCommandLine(L"", &D, &O, &N));
  // Paths fill buffers of 1024 units with the terminator.
  const std::wstring Long(1023, L'x');
  EXPECT_TRUE(ParseGleanerCommandLine(L"G \"" + Long + L"\" \"b\" \"c\"", &D, &O, &N));
  EXPECT_FALSE(ParseGleanerCommandLine(L"G \"" + Long + L"y\" \"b\" \"c\"", &D, &O, &N));
}

TEST(GleanerCommandLine, HelpAloneAfterTheProgram) {
  EXPECT_TRUE(IsGleanerHelpRequest(L"Gleaner.exe --help"));
  EXPECT_TRUE(IsGleanerHelpRequest(L"\"C:\\my dir\\Gleaner.exe\"  -h "));
  EXPECT_TRUE(IsGleanerHelpRequest(L"Gleaner /?"));
  EXPECT_FALSE(IsGleanerHelpRequest(L"Gleaner.exe"));
  EXPECT_FALSE(IsGleanerHelpRequest(L"--help"));  // the program's own path only
  EXPECT_FALSE(IsGleanerHelpRequest(L"Gleaner --help \"a\" \"b\" \"c\""));
  EXPECT_TRUE(IsGleanerHelpRequest(L"Gleaner \"--help\""));
  EXPECT_FALSE(IsGleanerHelpRequest(L"Gleaner --helpme"));
  // The run itself: the usage and success, nothing else done.
  EXPECT_EQ(GleanerMain(L"Gleaner --help"), GLEANER_OK);
  EXPECT_EQ(GleanerMain(L"Gleaner --nonsense"), GLEANER_BAD_COMMAND_LINE);
}

TEST(GleanerRun, CrcTableAndCodePage) {
  DWORD Table[256];
  InitGleanerCRCTable(Table);
  EXPECT_EQ(Table[0], 0u);
  EXPECT_EQ(Table[1], 0x04C11DB7u);
  EXPECT_EQ(Table[255], 0xB1F740B4u);
  EXPECT_EQ(ToGleanerCodePage(L"\u66f4\u65b0\u6587\u4ef6\u5b8c\u6bd5 ok"),
            "\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE\xCD\xEA\xB1\xCF ok");
}

// Packages and difference files on disk, and the program copied beside them
// (it makes its own directory the current one and logs there).
class GleanerProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    pkgtool::InstallServices();
    Exe = Dir / (std::string("Gleaner") + platform::kExeSuffix);
    ASSERT_TRUE(platform::CopyFileOver(testkit::BuiltProgram("Gleaner"), Exe));
    platform::MakeExecutable(Exe);
    Old = pkgtool::BuildPackage(OldModel());
    New = pkgtool::BuildPackage(NewModel());
  }

  static pkgtool::PackageModel OldModel() {
    pkgtool::PackageModel M;
    for (const wchar_t* N : {L"None", L"Core", L"Class", L"Pkg", L"A", L"B"}) M.NameSlot(N);
    M.Imports.push_back({1, 2, 0, 3});
    M.Exports.push_back({-1, 0, 0, 4, 1, std::vector<BYTE>(3000, 'a')});
    M.Exports.push_back({-1, 0, 1, 5, 1, std::vector<BYTE>(100, 'b')});
    return M;
  }
  static pkgtool::PackageModel NewModel() {
    pkgtool::PackageModel M = OldModel();
    M.Exports[0].Data[1500] = 'X';
    M.Exports[1].ObjectFlags = 7;
    M.Exports.push_back({-1, 0, 1, M.NameSlot(L"C"), 1, {'c'}});
    return M;
  }

  // Writes a package or difference file (enciphered on request).
  std::string Put(const std::string& Name, const std::vector<BYTE>& Bytes, bool Encrypt = false) {
    EXPECT_TRUE(pkgtool::WriteEngineFile(platform::AnsiToWide(Dir / Name), Bytes, Encrypt));
    return Dir / Name;
  }
  // A difference file from two packages.
  std::string MakeDiffOf(const std::vector<BYTE>& From, const std::vector<BYTE>& To, const std::string& Name) {
    std::string Out;
    EXPECT_EQ(pkgtool::RunPkgtool({"diff", Put("f_old", From), Put("f_new", To), Dir / Name}, &Out), 0) << Out;
    return Dir / Name;
  }
  std::string MakeDiff(const std::string& Name, bool Encrypt = false) {
    std::string Out;
    EXPECT_EQ(pkgtool::RunPkgtool({"diff", Put("d_old", Old), Put("d_new", New), Dir / Name}, &Out), 0) << Out;
    if (Encrypt) {
      std::string Bytes;
      platform::ReadFileToString(Dir / Name, &Bytes);
      Put(Name, std::vector<BYTE>(Bytes.begin(), Bytes.end()), true);
    }
    return Dir / Name;
  }
  // Runs the program; what it printed is in Output (line ends as written on
  // the system, "\r" removed).
  int Run(const std::string& Args) {
    Output.clear();
    auto P = platform::StartProcess(platform::QuoteArgument(Exe) + " " + Args, Dir.Path(), Dir / "stdout.txt");
    EXPECT_TRUE(P);
    if (!P) return 1000;
    P->Wait();
    Output = Lines(testkit::ReadFile(Dir / "stdout.txt"));
    platform::RemoveFile(Dir / "stdout.txt");
    return static_cast<int8_t>(P->ExitCode() & 0xFF);
  }
  // The first line the program prints, in its code page.
  static std::string StartLine(const std::string& Diff, const std::string& OldPath, const std::string& Out) {
    return ToGleanerCodePage(L"\u66f4\u65b0\u6587\u4ef6: \u5dee\u5f02\u6587\u4ef6(" + platform::AnsiToWide(Diff) +
                             L"),\u65e7\u7248\u672c\u6587\u4ef6(" + platform::AnsiToWide(OldPath) +
                             L"),\u8f93\u51fa\u65b0\u7248\u672c\u6587\u4ef6(" + platform::AnsiToWide(Out) + L")\n");
  }
  // "更新文件完毕" and the line end.
  static std::string DoneLine() { return ToGleanerCodePage(L"\u66f4\u65b0\u6587\u4ef6\u5b8c\u6bd5\n"); }
  static std::string Q(const std::string& S) { return "\"" + S + "\""; }
  // Log lines end the way text files end on the system.
  std::string Log(const char* Name = "log.log") { return Lines(testkit::ReadFile(Dir / Name)); }
  static std::string Lines(std::string S) {
    S.erase(std::remove(S.begin(), S.end(), '\r'), S.end());
    return S;
  }
  std::string NewText() const { return std::string(New.begin(), New.end()); }

  TempDir Dir;
  std::string Exe, Output;
  std::vector<BYTE> Old, New;
};

TEST_F(GleanerProgram, ComposesTheNewPackage) {
  const std::string Diff = MakeDiff("a.diff");
  const std::string OldPath = Put("old.pkg", Old);
  EXPECT_EQ(Run(Q(Diff) + " " + Q(OldPath) + " " + Q(Dir / "out.pkg") + " \"ignored\""), 0);
  EXPECT_EQ(testkit::ReadFile(Dir / "out.pkg"), NewText());
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Output, StartLine(Diff, OldPath, Dir / "out.pkg") + DoneLine());
  // The output may be the old package itself.
  EXPECT_EQ(Run(Q(Diff) + " " + Q(OldPath) + " " + Q(OldPath)), 0);
  EXPECT_EQ(testkit::ReadFile(OldPath), NewText());
}

TEST_F(GleanerProgram, EncipheredOldGivesEncipheredNew) {
  const std::string OldPath = Put("old.pkg", Old, true);
  for (bool EncryptDiff : {false, true}) {
    const std::string Diff = MakeDiff("e.diff", EncryptDiff);
    ASSERT_EQ(Run(Q(Diff) + " " + Q(OldPath) + " " + Q(Dir / "out.pkg")), 0);
    const std::string Out = testkit::ReadFile(Dir / "out.pkg");
    ASSERT_EQ(Out.size(), New.size() + 10);
    EXPECT_EQ(Out.substr(0, 10), "TRXArchive");
    std::string Plain = Out.substr(10);
    for (size_t i = 0; i < Plain.size(); ++i) Plain[i] ^= FArchive::TransformKey[i % 1024];
    EXPECT_EQ(Plain, NewText());
  }
  // A plain old package gives a plain new one, whatever the difference file.
  ASSERT_EQ(Run(Q(MakeDiff("e.diff", true)) + " " + Q(Put("plain.pkg", Old)) + " " + Q(Dir / "out.pkg")), 0);
  EXPECT_EQ(testkit::ReadFile(Dir / "out.pkg"), NewText());
}

TEST_F(GleanerProgram, ExitCodesAndLogLines) {
  const std::string Diff = MakeDiff("a.diff");
  const std::string OldPath = Put("old.pkg", Old);
  const std::string Out = Dir / "out.pkg";

  // -1: two paths (a piece starting with a blank does not count); nothing
  // is printed.
  EXPECT_EQ(Run(Q(" " + Diff) + " " + Q(OldPath) + " " + Q(Out)), -1);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Output, "");
  EXPECT_FALSE(platform::Exists(Out));

  // -9: no old package. The error history is printed after the start line.
  const std::string Missing = Dir / "missing.pkg";
  EXPECT_EQ(Run(Q(Diff) + " " + Q(Missing) + " " + Q(Out)), -9);
  EXPECT_EQ(Log(), "exception: diff file: " + Diff + ", old file: " + Missing + ", temp file: " + Out + "\n");
  EXPECT_EQ(Output, StartLine(Diff, Missing, Out) + "Open package file failed:" + Missing + "!\n\n" +
                        platform::WideToAnsi(LocalizeError(TEXT("History"), TEXT("Core"))) +
                        ": \n\nExiting due to error\n");
  EXPECT_FALSE(platform::Exists(Out));
  platform::RemoveFile(Dir / "log.log");

  // -4: not a package.
  const std::string NotPkg = Put("not.pkg", {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(Run(Q(Diff) + " " + Q(NotPkg) + " " + Q(Out)), -4);
  EXPECT_EQ(Log(), "exception: " + platform::WideToAnsi(LocalizeError(TEXT("Aborted"), TEXT("FPackageData"))) +
                       " =>  diff file: " + Diff + ", old file: " + NotPkg + ", temp file: " + Out + "\n");
  platform::RemoveFile(Dir / "log.log");

  // -5: a package cut short.
  const std::string Cut = Put("cut.pkg", std::vector<BYTE>(Old.begin(), Old.end() - 2));
  EXPECT_EQ(Run(Q(Diff) + " " + Q(Cut) + " " + Q(Out)), -5);
  EXPECT_EQ(Log(), "exception:  =>  diff file: " + Diff + ", old file: " + Cut + ", temp file: " + Out + "\n");
  EXPECT_FALSE(platform::Exists(Out));
  platform::RemoveFile(Dir / "log.log");

  // -9: a difference file that does not fit the old package; the output was
  // created already.
  const std::string Bad = Put("bad.diff", std::vector<BYTE>(64, 0x7F));
  EXPECT_EQ(Run(Q(Bad) + " " + Q(OldPath) + " " + Q(Out)), -9);
  EXPECT_EQ(Log(), "exception: diff file: " + Bad + ", old file: " + OldPath + ", temp file: " + Out + "\n");
  EXPECT_TRUE(platform::Exists(Out));
  EXPECT_EQ(Log("loga.log"), "");
  // The failed check, with its source, is the history printed.
  const std::string Failed = StartLine(Bad, OldPath, Out) + "Assertion failed: ";
  EXPECT_EQ(Output.find(Failed), 0u) << Output;
  EXPECT_NE(Output.find(" [File:Gleaner] [Line: "), std::string::npos) << Output;
  const std::string End = "\n\nExiting due to error\n";
  EXPECT_EQ(Output.rfind(End), Output.size() - End.size()) << Output;
  EXPECT_EQ(Output.find(DoneLine()), std::string::npos) << Output;
}

// Hostile inputs end in a failure, within a bound on memory, whatever they
// ask for: the program is measured from outside.
class GleanerHostile : public GleanerProgram {
 protected:
  static constexpr int64_t kMemoryBound = 64 << 20;

  // Runs the program and checks the exit code and its peak memory.
  void ExpectFailureWithinBound(const std::string& DiffPath, const std::string& OldPath, int Code) {
    const std::string Out = Dir / "hostile.out";
    Output.clear();
    auto P = platform::StartProcess(platform::QuoteArgument(Exe) + " " + Q(DiffPath) + " " + Q(OldPath) + " " + Q(Out),
                                    Dir.Path(), Dir / "stdout.txt");
    ASSERT_TRUE(P);
    // A bound, not a timing: today's machines do this in well under a second.
    ASSERT_TRUE(P->WaitFor(20000)) << "still running";
    EXPECT_EQ(static_cast<int8_t>(P->ExitCode() & 0xFF), Code) << testkit::ReadFile(Dir / "stdout.txt");
    const int64_t Peak = P->PeakMemoryBytes();
    // Some systems keep no memory figures of an ended process (Wine): the
    // other checks have run; the bound cannot be measured there.
    if (Peak < 0) GTEST_SKIP() << "the system tells no peak memory of an ended process";
    EXPECT_LT(Peak, kMemoryBound);
    // Whatever was written stays far below what was asked for.
    EXPECT_LT(platform::FileSize(Out), 4 << 20);
  }
};

TEST_F(GleanerHostile, RepeatedGrowthOfOneObject) {
  // A difference file that keeps everything, then patches export 0 again
  // and again, each time growing it by all that the file still holds: the
  // growth adds up to the square of the file's size (over 100 MB here).
  std::string Raw;
  platform::ReadFileToString(MakeDiffOf(Old, Old, "same.diff"), &Raw);
  std::vector<BYTE> Bytes(Raw.begin(), Raw.end());
  ASSERT_EQ(std::vector<BYTE>(Bytes.end() - 4, Bytes.end()), std::vector<BYTE>(4, 0));  // no patches
  Bytes.resize(Bytes.size() - 4);
  const INT Patches = 4096;
  pkgtool::FBufferWriter W;
  INT Count = Patches;
  W << Count;
  INT Length = 3000;
  for (INT k = 0; k < Patches; ++k) {
    const INT Left = 12 * (Patches - k - 1);
    INT Idx = 0, NewLength = Length + Left, Chunks = 0;
    W << Idx << NewLength << Chunks;
    Length = NewLength;
  }
  Bytes.insert(Bytes.end(), W.Bytes.begin(), W.Bytes.end());
  ExpectFailureWithinBound(Put("growth.diff", Bytes), Put("old.pkg", Old), -9);
}

TEST_F(GleanerHostile, ExportsAliasingTheSameBytes) {
  // 1024 exports whose records all name the same 256 KiB of the file: a
  // package of a quarter megabyte asks for a quarter gigabyte.
  const INT Exports = 1024, DataSize = 256 << 10;
  pkgtool::PackageModel M;
  M.NameSlot(L"None");
  M.NameSlot(L"X");
  M.Exports.push_back({0, 0, 0, 1, 0, std::vector<BYTE>(DataSize, 'x')});
  for (INT i = 1; i < Exports; ++i) M.Exports.push_back({0, 0, 0, 1, 0, {}});
  std::vector<BYTE> Pkg = pkgtool::BuildPackage(M);
  INT ExportOffset = 0, ImportOffset = 0;
  appMemcpy(&ExportOffset, &Pkg[24], 4);
  appMemcpy(&ImportOffset, &Pkg[32], 4);
  Pkg.resize(ExportOffset);
  pkgtool::FBufferWriter W;
  for (INT i = 0; i < Exports; ++i) {
    FObjectExport X;
    X.ObjectName = FName::FromIndex(1);
    X.SerialSize = DataSize;
    X.SerialOffset = ImportOffset - DataSize;
    W << X;
  }
  Pkg.insert(Pkg.end(), W.Bytes.begin(), W.Bytes.end());
  ExpectFailureWithinBound(MakeDiff("a.diff"), Put("alias.pkg", Pkg), -5);
}

TEST_F(GleanerHostile, ExportsNestedEverDeeper) {
  // Export i lies in export i-1: the paths of 5000 one-byte objects in a
  // package of 75 KB add up to 25 million characters.
  pkgtool::PackageModel M;
  M.NameSlot(L"None");
  M.NameSlot(L"a");
  for (INT i = 0; i < 5000; ++i) M.Exports.push_back({0, 0, i, 1, 0, {'a'}});
  ExpectFailureWithinBound(MakeDiff("a.diff"), Put("deep.pkg", pkgtool::BuildPackage(M)), -5);
}

// Runs in this process, to reach what no input file can raise.
class GleanerInProcess : public GleanerProgram {
 protected:
  void TearDown() override {
    GGleanerComposeHook = nullptr;
    platform::ChangeWorkingDirectory(Saved);
    platform::RemoveFile(testkit::BinDir() + "log.log");
    platform::RemoveFile(testkit::BinDir() + "loga.log");
    appResetErrorState();
  }
  INT RunHere(const std::string& Diff, const std::string& OldPath, const std::string& Out) {
    appResetErrorState();
    const INT Code = GleanerMain(platform::AnsiToWide("Gleaner " + Q(Diff) + " " + Q(OldPath) + " " + Q(Out)));
    Logged = Lines(testkit::ReadFile(testkit::BinDir() + "log.log"));
    LoggedA = Lines(testkit::ReadFile(testkit::BinDir() + "loga.log"));
    platform::RemoveFile(testkit::BinDir() + "log.log");
    platform::RemoveFile(testkit::BinDir() + "loga.log");
    return Code;
  }
  std::string Saved = platform::WorkingDirectory();
  std::string Logged, LoggedA;
};

TEST_F(GleanerInProcess, EngineAndNarrowTextsAndTheErrorHistory) {
  const std::string Diff = MakeDiff("a.diff");
  const std::string OldPath = Put("old.pkg", Old);
  const std::string Out = Dir / "out.pkg";
  const std::string Tail = ", diff file: " + Diff + ", old file: " + OldPath + ", temp file: " + Out + "\n";

  GGleanerComposeHook = [] { throw TEXT("wide trouble"); };
  EXPECT_EQ(RunHere(Diff, OldPath, Out), -7);
  EXPECT_EQ(Logged, "exception: wide trouble" + Tail);
  EXPECT_FALSE(GIsGuarded);

  GGleanerComposeHook = [] { throw "narrow trouble"; };
  EXPECT_EQ(RunHere(Diff, OldPath, Out), -8);
  EXPECT_EQ(LoggedA, "exception: narrow trouble" + Tail);
  EXPECT_EQ(Logged, "");

  GGleanerComposeHook = nullptr;
  const std::string Missing = Dir / "missing.pkg";
  EXPECT_EQ(RunHere(Diff, Missing, Out), -9);
  const std::wstring History = GErrorHist;
  EXPECT_EQ(History.find(platform::AnsiToWide("Open package file failed:" + Missing + "!")), 0u);
  EXPECT_FALSE(GIsGuarded);

  EXPECT_EQ(RunHere(Diff, OldPath, Out), 0);
  EXPECT_EQ(testkit::ReadFile(Out), NewText());
}

}  // namespace
