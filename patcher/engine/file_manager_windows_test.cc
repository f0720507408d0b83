#include "patcher/engine/file_manager_windows.h"

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/file.h"
#include "platform/wide_text.h"
#include "testing/engine_test_util.h"
#include "testing/testing.h"

namespace {

using engine_test::FGuardedScope;

std::wstring W(const std::string& S) { return platform::AnsiToWide(S); }

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

class FileManagerTest : public ::testing::Test {
 protected:
  std::wstring Path(const std::string& Name) { return W(Dir / Name); }
  std::string Raw(const std::string& Name) {
    std::string Out;
    platform::ReadFileToString(Dir / Name, &Out);
    return Out;
  }

  void WriteFile(const std::string& Name, const std::string& Logical, bool Encrypt) {
    FArchive* Ar = FM.CreateFileWriter(Path(Name).c_str());
    ASSERT_NE(Ar, nullptr);
    if (Encrypt) Ar->SetDoEncrypt();
    std::string Copy = Logical;
    Ar->Serialize(Copy.data(), static_cast<INT>(Copy.size()));
    EXPECT_TRUE(Ar->Close());
    delete Ar;
  }

  std::string ReadAll(FArchive* Ar) {
    std::string Out(Ar->TotalSize(), '\0');
    Ar->Serialize(Out.data(), static_cast<INT>(Out.size()));
    return Out;
  }

  testkit::TempDir Dir;
  FFileManagerWindows FM;
};

TEST_F(FileManagerTest, EncipheredRoundTripDiffersWhereTheKeyIsNotZero) {
  const std::string Logical = Pattern(5000);
  WriteFile("enc.u", Logical, true);
  const std::string Stored = Raw("enc.u");
  ASSERT_EQ(Stored.size(), Logical.size() + 10);
  EXPECT_EQ(Stored.substr(0, 10), "TRXArchive");
  for (size_t p = 0; p < Logical.size(); ++p) {
    const BYTE Key = FArchive::TransformKey[p % 1024];
    ASSERT_EQ(static_cast<BYTE>(Stored[p + 10]), static_cast<BYTE>(Logical[p] ^ Key)) << p;
    ASSERT_EQ(Stored[p + 10] != Logical[p], Key != 0) << p;
  }

  FArchive* Ar = FM.CreateFileReader(Path("enc.u").c_str());
  ASSERT_NE(Ar, nullptr);
  EXPECT_TRUE(Ar->IsEncrypted());
  EXPECT_EQ(Ar->TotalSize(), 5000);
  EXPECT_EQ(ReadAll(Ar), Logical);
  delete Ar;

  // A plain file is its own logical stream.
  WriteFile("plain.u", Logical, false);
  EXPECT_EQ(Raw("plain.u"), Logical);
  Ar = FM.CreateFileReader(Path("plain.u").c_str());
  EXPECT_FALSE(Ar->IsEncrypted());
  EXPECT_EQ(ReadAll(Ar), Logical);
  delete Ar;
}

// Hands out read handles that record every read: its destination and size.
struct FReadCall {
  const void* Dest;
  int32_t Wanted;
};
std::vector<FReadCall>* GReadCalls = nullptr;

// Records every read of a file, then reads.
platform::Status RecordingRead(platform::NativeFile F, int64_t At, void* D, size_t N, size_t* Got) {
  if (GReadCalls) GReadCalls->push_back({D, static_cast<int32_t>(N)});
  return platform::RealFileCalls().read(F, At, D, N, Got);
}

TEST_F(FileManagerTest, ReaderBufferEdgesDecipherAlike) {
  const std::string Logical = Pattern(4096);
  WriteFile("edges.u", Logical, true);
  platform::ScopedFileCallsOverride Override;
  platform::FileCalls().read = RecordingRead;
  std::vector<FReadCall> Calls;
  GReadCalls = &Calls;
  FArchive* Ar = FM.CreateFileReader(Path("edges.u").c_str());
  ASSERT_NE(Ar, nullptr);
  std::string Got(4096, '\0');
  // 1023 bytes through the buffer, 1 more to reach the boundary, then 1024
  // straight from the file, then unaligned pieces again.
  Calls.clear();  // the marker
  Ar->Serialize(&Got[0], 1023);
  Ar->Serialize(&Got[1023], 1);
  EXPECT_EQ(Ar->GetPosition(), 1024);
  // One buffer fill served both; it did not read into the destination.
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Wanted, 1024);
  EXPECT_NE(Calls[0].Dest, &Got[0]);
  Calls.clear();
  Ar->Serialize(&Got[1024], 1024);
  // Read straight into the destination, in one piece, then deciphered there.
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Dest, &Got[1024]);
  EXPECT_EQ(Calls[0].Wanted, 1024);
  Calls.clear();
  Ar->Serialize(&Got[2048], 1500);
  ASSERT_EQ(Calls.size(), 1u);
  EXPECT_EQ(Calls[0].Dest, &Got[2048]);
  EXPECT_EQ(Calls[0].Wanted, 1500);
  Ar->Serialize(&Got[3548], 548);
  GReadCalls = nullptr;
  EXPECT_FALSE(Ar->GetError());
  EXPECT_EQ(Got, Logical);

  // Seeking to odd positions refills from there.
  for (INT P : {0, 1, 1023, 1024, 3000, 4095}) {
    Ar->Seek(P);
    BYTE B = 0;
    Ar->Serialize(&B, 1);
    EXPECT_EQ(B, static_cast<BYTE>(Logical[P])) << P;
  }
  Ar->Seek(4096);
  EXPECT_TRUE(Ar->AtEnd());
  delete Ar;
}

TEST_F(FileManagerTest, SmallReadsFarIntoTheFileComeFromTheBuffer) {
  // Every refill past the first kilobyte starts the buffer at a file offset
  // larger than the buffer itself; the bytes are taken at their distance from
  // that start.
  const std::string Logical = Pattern(5000);
  WriteFile("small.u", Logical, true);
  FArchive* Ar = FM.CreateFileReader(Path("small.u").c_str());
  ASSERT_NE(Ar, nullptr);
  std::string Got(Logical.size(), '\0');
  for (size_t At = 0; At < Got.size(); At += 7)
    Ar->Serialize(&Got[At], static_cast<INT>(std::min<size_t>(7, Got.size() - At)));
  EXPECT_FALSE(Ar->GetError());
  EXPECT_EQ(Got, Logical);
  delete Ar;
}

TEST_F(FileManagerTest, MarkerOnlyFileHasLogicalSizeZero) {
  platform::WriteStringToFile(Dir / "empty.u", "TRXArchive");
  FGuardedScope Guarded;
  FArchive* Ar = FM.CreateFileReader(Path("empty.u").c_str(), 0, GError);
  ASSERT_NE(Ar, nullptr);
  EXPECT_TRUE(Ar->IsEncrypted());
  EXPECT_EQ(Ar->TotalSize(), 0);
  BYTE B;
  EXPECT_THROW(Ar->Serialize(&B, 1), int);
  EXPECT_EQ(engine_test::History().find(L"ReadFile beyond EOF 0+1/0"), 0u);
  GIsGuarded = 0;
  delete Ar;
}

TEST_F(FileManagerTest, ShortFileIsUnmarked) {
  platform::WriteStringToFile(Dir / "short.u", "TRXArch");
  FArchive* Ar = FM.CreateFileReader(Path("short.u").c_str());
  ASSERT_NE(Ar, nullptr);
  EXPECT_FALSE(Ar->IsEncrypted());
  EXPECT_EQ(ReadAll(Ar), "TRXArch");
  delete Ar;
}

TEST_F(FileManagerTest, WriterSeekLandsAfterTheMarker) {
  FArchive* Ar = FM.CreateFileWriter(Path("seek.u").c_str());
  Ar->SetDoEncrypt();
  EXPECT_EQ(Ar->GetPosition(), 0);
  std::string Data = Pattern(6000);
  Ar->Serialize(Data.data(), 6000);
  Ar->Seek(0);
  BYTE Head[4] = {1, 2, 3, 4};
  Ar->Serialize(Head, 4);
  EXPECT_EQ(Ar->GetPosition(), 4);
  delete Ar;

  std::string Stored = Raw("seek.u");
  ASSERT_EQ(Stored.size(), 6010u);
  EXPECT_EQ(Stored.substr(0, 10), "TRXArchive");
  Ar = FM.CreateFileReader(Path("seek.u").c_str());
  std::string Back = ReadAll(Ar);
  delete Ar;
  Data.replace(0, 4, "\x01\x02\x03\x04");
  EXPECT_EQ(Back, Data);
}

TEST_F(FileManagerTest, ReaderSeekChecks) {
  WriteFile("s.u", "abc", false);
  FGuardedScope Guarded;
  FArchive* Ar = FM.CreateFileReader(Path("s.u").c_str(), 0, GError);
  EXPECT_THROW(Ar->Seek(-1), int);
  EXPECT_NE(engine_test::History().find(L"InPos>=0"), std::wstring::npos);
  EXPECT_NE(engine_test::History().find(L"FArchiveFileReader::Seek"), std::wstring::npos);
  appResetErrorState();
  EXPECT_THROW(Ar->Seek(4), int);
  EXPECT_EQ(engine_test::History().find(L"InPos>Size in FFileManagerWindows."), 0u);
  GIsGuarded = 0;
  delete Ar;
}

TEST_F(FileManagerTest, CreationFailures) {
  EXPECT_EQ(FM.CreateFileReader(Path("missing.u").c_str()), nullptr);
  // A name that does not fit the reader's field is refused.
  std::wstring Long = Path(std::string(600, 'n'));
  EXPECT_EQ(FM.CreateFileReader(Long.c_str()), nullptr);

  FGuardedScope Guarded;
  EXPECT_THROW(FM.CreateFileReader(Path("missing.u").c_str(), FILEREAD_NoFail), int);
  EXPECT_EQ(engine_test::History().find(L"Failed to read file: "), 0u);

  WriteFile("exists.u", "x", false);
  EXPECT_EQ(FM.CreateFileWriter(Path("exists.u").c_str(), FILEWRITE_NoReplaceExisting), nullptr);
  FArchive* Ar = FM.CreateFileWriter(Path("exists.u").c_str(), FILEWRITE_Append);
  BYTE B = 'y';
  EXPECT_EQ(Ar->GetPosition(), 1);
  Ar->Serialize(&B, 1);
  delete Ar;
  EXPECT_EQ(Raw("exists.u"), "xy");
}

// Every write fails, as on a full disk.
platform::Status FailingWrite(platform::NativeFile, int64_t, const void*, size_t, size_t* Written) {
  *Written = 0;
  return platform::Status::kRetryable;
}

TEST_F(FileManagerTest, WriteFailureIsReportedOnTheWritersDevice) {
  platform::ScopedFileCallsOverride Override;
  platform::FileCalls().write = FailingWrite;
  engine_test::FRecordingDevice Errors;
  FArchive* Ar = FM.CreateFileWriter(Path("w.u").c_str(), 0, &Errors);
  ASSERT_NE(Ar, nullptr);
  BYTE B = 1;
  Ar->Serialize(&B, 1);
  EXPECT_FALSE(Ar->GetError());
  EXPECT_FALSE(Ar->Close());
  ASSERT_EQ(Errors.Lines.size(), 1u);
  EXPECT_EQ(Errors.Lines[0].first, LocalizeError(TEXT("WriteFailed"), TEXT("Core")));
  delete Ar;
}

// Hands out write handles that keep nothing: only where the writes went.
struct FWriteCall {
  int64_t Offset;
  int32_t Count;
};
std::vector<FWriteCall>* GWriteCalls = nullptr;

// Files opened for writing are no files at all: their writes keep nothing.
constexpr platform::NativeFile kDiscarding = -77;

void DiscardWrites() {
  platform::FileCalls().open = [](const platform::FileName& Name, const platform::FileOpenOptions& O,
                                  platform::NativeFile* Out) -> platform::Status {
    if (O.disposition == platform::FileDisposition::kReadExisting) return platform::RealFileCalls().open(Name, O, Out);
    *Out = kDiscarding;
    return platform::Status::kOk;
  };
  platform::FileCalls().write = [](platform::NativeFile F, int64_t At, const void* S, size_t N, size_t* Written) -> platform::Status {
    if (F != kDiscarding) return platform::RealFileCalls().write(F, At, S, N, Written);
    if (GWriteCalls) GWriteCalls->push_back({At, static_cast<int32_t>(N)});
    *Written = N;
    return platform::Status::kOk;
  };
  platform::FileCalls().size = [](platform::NativeFile F, int64_t* Size) -> platform::Status {
    if (F != kDiscarding) return platform::RealFileCalls().size(F, Size);
    *Size = 0;
    return platform::Status::kOk;
  };
  platform::FileCalls().close = [](platform::NativeFile F) -> platform::Status {
    return F == kDiscarding ? platform::Status::kOk : platform::RealFileCalls().close(F);
  };
}

TEST_F(FileManagerTest, WriterPositionPastThe32BitRangeIsAFailedCheck) {
  platform::ScopedFileCallsOverride Override;
  DiscardWrites();
  std::vector<FWriteCall> Calls;
  GWriteCalls = &Calls;
  for (bool Encrypt : {false, true}) {
    SCOPED_TRACE(Encrypt);
    Calls.clear();
    FArchive* Ar = FM.CreateFileWriter(Path("big.u").c_str());
    ASSERT_NE(Ar, nullptr);
    if (Encrypt) Ar->SetDoEncrypt();
    std::string Data = Pattern(8192);
    // Up to the last position is fine.
    Ar->Seek(MAXINT - 8);
    Ar->Serialize(Data.data(), 8);
    EXPECT_EQ(Ar->GetPosition(), MAXINT);
    {
      FGuardedScope Guarded;
      EXPECT_THROW(Ar->Serialize(Data.data(), 1), int);
      EXPECT_EQ(engine_test::History().find(L"Assertion failed: static_cast<int64_t>(Pos) + Length <= MAXINT"), 0u)
          << engine_test::History();
    }
    // A large write from below the limit is refused whole.
    Ar->Seek(MAXINT - 4096);
    {
      FGuardedScope Guarded;
      EXPECT_THROW(Ar->Serialize(Data.data(), 8192), int);
    }
    EXPECT_EQ(Ar->GetPosition(), MAXINT - 4096);
    EXPECT_TRUE(Ar->Close());
    delete Ar;
    // Nothing was written at or past the 32-bit limit.
    const int64_t Base = Encrypt ? 10 : 0;
    int64_t Total = 0;
    for (const FWriteCall& C : Calls) {
      EXPECT_LE(C.Offset + C.Count, Base + MAXINT) << C.Offset << "+" << C.Count;
      if (C.Offset >= Base) Total += C.Count;
    }
    EXPECT_EQ(Total, 8);
  }
  GWriteCalls = nullptr;
}

class FRecordingProgress : public FCopyProgress {
 public:
  explicit FRecordingProgress(INT InCancelAt = -1) : CancelAt(InCancelAt) {}
  UBOOL Poll(FLOAT Fraction) override {
    Calls.push_back(Fraction);
    return static_cast<INT>(Calls.size()) != CancelAt;
  }
  std::vector<FLOAT> Calls;
  INT CancelAt;
};

TEST_F(FileManagerTest, CopyCompressesAndDecompresses) {
  // Three blocks, the last one short.
  const std::string Logical = Pattern(32768 * 2 + 1000);
  WriteFile("src.u", Logical, false);
  FRecordingProgress Progress;
  EXPECT_EQ(FM.Copy(Path("pkg.u").c_str(), Path("src.u").c_str(), 1, 0, 0, FILECOPY_Compress, &Progress),
            static_cast<DWORD>(COPY_OK));
  ASSERT_TRUE(platform::Exists(Dir / "pkg.u.uz2"));
  EXPECT_EQ(Progress.Calls.front(), 0.0f);
  EXPECT_EQ(Progress.Calls.back(), 1.0f);
  EXPECT_GE(Progress.Calls.size(), 4u);

  std::string Packed = Raw("pkg.u.uz2");
  ASSERT_GE(Packed.size(), 8u);
  INT FirstBlock = 0;
  appMemcpy(&FirstBlock, Packed.data() + 4, 4);
  EXPECT_EQ(FirstBlock, 32768);

  EXPECT_EQ(FM.Copy(Path("back.u").c_str(), Path("pkg.u").c_str(), 1, 0, 0, FILECOPY_Decompress),
            static_cast<DWORD>(COPY_OK));
  EXPECT_EQ(Raw("back.u"), Logical);

  EXPECT_EQ(FM.Copy(Path("plain.u").c_str(), Path("src.u").c_str()), static_cast<DWORD>(COPY_OK));
  EXPECT_EQ(Raw("plain.u"), Logical);
}

TEST_F(FileManagerTest, CopyResultCodes) {
  WriteFile("src.u", Pattern(70000), false);
  EXPECT_EQ(FM.Copy(Path("x.u").c_str(), Path("nothing.u").c_str()), static_cast<DWORD>(COPY_ReadFail));
  // No replacing: the existing destination cannot be created.
  WriteFile("taken.u", "keep", false);
  EXPECT_EQ(FM.Copy(Path("taken.u").c_str(), Path("src.u").c_str(), 0), static_cast<DWORD>(COPY_WriteFail));
  EXPECT_EQ(Raw("taken.u"), "keep");

  // Cancelled after the first block: no destination is left.
  FRecordingProgress Cancel(2);
  EXPECT_EQ(FM.Copy(Path("c.u").c_str(), Path("src.u").c_str(), 1, 0, 0, FILECOPY_Normal, &Cancel),
            static_cast<DWORD>(COPY_Canceled));
  EXPECT_FALSE(platform::Exists(Dir / "c.u"));
  FRecordingProgress CancelAtStart(1);
  EXPECT_EQ(FM.Copy(Path("c.u").c_str(), Path("src.u").c_str(), 1, 0, 0, FILECOPY_Normal, &CancelAtStart),
            static_cast<DWORD>(COPY_Canceled));

  // A corrupted block.
  ASSERT_EQ(FM.Copy(Path("z.u").c_str(), Path("src.u").c_str(), 1, 0, 0, FILECOPY_Compress),
            static_cast<DWORD>(COPY_OK));
  std::string Packed = Raw("z.u.uz2");
  Packed[8 + 5] ^= 0x5A;
  Packed[8 + 6] ^= 0x33;
  platform::WriteStringToFile(Dir / "bad.u.uz2", Packed);
  EXPECT_EQ(FM.Copy(Path("bad.u").c_str(), Path("bad.u").c_str(), 1, 0, 0, FILECOPY_Decompress),
            static_cast<DWORD>(COPY_DecompFail));
  // A block header beyond the bounds.
  std::string Huge = Raw("z.u.uz2");
  INT TooBig = 33097;
  appMemcpy(&Huge[0], &TooBig, 4);
  platform::WriteStringToFile(Dir / "huge.u.uz2", Huge);
  EXPECT_EQ(FM.Copy(Path("huge.u").c_str(), Path("huge.u").c_str(), 1, 0, 0, FILECOPY_Decompress),
            static_cast<DWORD>(COPY_DecompFail));
  EXPECT_FALSE(platform::Exists(Dir / "huge.u"));
  // A truncated file ends in a read error.
  platform::WriteStringToFile(Dir / "cut.u.uz2", Raw("z.u.uz2").substr(0, 100));
  EXPECT_EQ(FM.Copy(Path("cut.u").c_str(), Path("cut.u").c_str(), 1, 0, 0, FILECOPY_Decompress),
            static_cast<DWORD>(COPY_ReadFail));

  platform::ScopedFileCallsOverride Override;
  platform::FileCalls().write = FailingWrite;
  EXPECT_EQ(FM.Copy(Path("w.u").c_str(), Path("src.u").c_str()), static_cast<DWORD>(COPY_WriteFail));
  EXPECT_FALSE(platform::Exists(Dir / "w.u"));
}

TEST_F(FileManagerTest, CopyProgressComesInWholePercentsBothWays) {
  // More blocks than percents: each fraction is reported once, rising, up to
  // the closing report of the whole.
  WriteFile("many.u", Pattern(32768 * 150), false);
  for (DWORD Compress : {FILECOPY_Normal, FILECOPY_Compress}) {
    FRecordingProgress Progress;
    EXPECT_EQ(FM.Copy(Path("many2.u").c_str(), Path("many.u").c_str(), 1, 0, 0, Compress, &Progress),
              static_cast<DWORD>(COPY_OK));
    ASSERT_GE(Progress.Calls.size(), 3u);
    EXPECT_EQ(Progress.Calls.back(), 1.0f);
    for (size_t i = 1; i + 1 < Progress.Calls.size(); ++i)
      EXPECT_LT(Progress.Calls[i - 1], Progress.Calls[i]) << i;
  }

  // Unpacking reports as it goes, and a cancel there leaves no destination.
  FRecordingProgress Unpacking;
  EXPECT_EQ(FM.Copy(Path("back.u").c_str(), Path("many2.u").c_str(), 1, 0, 0, FILECOPY_Decompress, &Unpacking),
            static_cast<DWORD>(COPY_OK));
  EXPECT_EQ(Raw("back.u"), Raw("many.u"));
  EXPECT_GE(Unpacking.Calls.size(), 3u);
  EXPECT_EQ(Unpacking.Calls.back(), 1.0f);
  FRecordingProgress Cancel(2);
  EXPECT_EQ(FM.Copy(Path("gone.u").c_str(), Path("many2.u").c_str(), 1, 0, 0, FILECOPY_Decompress, &Cancel),
            static_cast<DWORD>(COPY_Canceled));
  EXPECT_EQ(Cancel.Calls.size(), 2u);
  EXPECT_FALSE(platform::Exists(Dir / "gone.u"));
}

TEST_F(FileManagerTest, GeneralOperations) {
  engine_test::FRecordingDevice Log;
  FOutputDevice* SavedLog = GLog;
  GLog = &Log;
  WriteFile("a.u", "abc", false);
  EXPECT_EQ(FM.FileSize(Path("a.u").c_str()), 3);
  EXPECT_EQ(FM.FileSize(Path("none.u").c_str()), -1);
  EXPECT_TRUE(FM.Delete(Path("none.u").c_str()));
  EXPECT_FALSE(FM.Delete(Path("none.u").c_str(), 1));
  ASSERT_EQ(Log.Lines.size(), 1u);
  EXPECT_EQ(Log.Lines[0].first.find(L"Error deleting file '"), 0u);
  EXPECT_EQ(Log.Lines[0].second, NAME_Warning);

  EXPECT_TRUE(FM.Move(Path("b.u").c_str(), Path("a.u").c_str()));
  EXPECT_FALSE(platform::Exists(Dir / "a.u"));
  EXPECT_EQ(Raw("b.u"), "abc");
  EXPECT_FALSE(FM.Move(Path("c.u").c_str(), Path("a.u").c_str()));
  EXPECT_EQ(Log.Lines.back().first.find(L"Error moving file '"), 0u);

  platform::SetReadOnly(Dir / "b.u", true);
  EXPECT_TRUE(FM.IsReadOnly(Path("b.u").c_str()));
  EXPECT_TRUE(FM.Delete(Path("b.u").c_str(), 1, 1));
  EXPECT_FALSE(platform::Exists(Dir / "b.u"));

  EXPECT_TRUE(FM.MakeDirectory(Path("d1/d2/d3").c_str(), 1));
  WriteFile("d1/d2/f.u", "x", false);
  WriteFile("d1/g.int", "x", false);
  TArray<FString> Found = FM.FindFiles(Path("d1/*.U").c_str(), 1, 0);
  EXPECT_EQ(Found.Num(), 0);
  Found = FM.FindFiles(Path("d1/d2/*.U").c_str(), 1, 0);
  ASSERT_EQ(Found.Num(), 1);
  EXPECT_EQ(Found(0), TEXT("f.u"));
  EXPECT_EQ(FM.FindFiles(Path("d1/*").c_str(), 0, 1).Num(), 1);
  EXPECT_TRUE(FM.DeleteDirectory(Path("d1").c_str(), 1, 1));
  EXPECT_FALSE(platform::Exists(Dir / "d1"));

  FString Saved = FM.GetDefaultDirectory();
  EXPECT_TRUE(FM.SetDefaultDirectory(Path("").c_str()));
  FArchive* Here = FM.CreateFileWriter(TEXT("here.u"));
  EXPECT_NE(Here, nullptr);
  delete Here;
  EXPECT_TRUE(FM.SetDefaultDirectory(*Saved));
  EXPECT_TRUE(platform::Exists(Dir / "here.u"));
  EXPECT_TRUE(FM.IsDrive(TEXT("C:")));
  EXPECT_TRUE(FM.IsDrive(TEXT("c:\\")));
  EXPECT_FALSE(FM.IsDrive(TEXT("C:\\x")));
  EXPECT_GT(FM.GetDriveLetters().Num(), 0);
  GLog = SavedLog;
}

TEST_F(FileManagerTest, NarrowNamesWorkToo) {
  GUnicodeOS = 0;
  WriteFile("n.u", "narrow", true);
  FArchive* Ar = FM.CreateFileReader(Path("n.u").c_str());
  ASSERT_NE(Ar, nullptr);
  EXPECT_EQ(ReadAll(Ar), "narrow");
  delete Ar;
  EXPECT_EQ(FM.FileSize(Path("n.u").c_str()), 16);
  EXPECT_TRUE(FM.Delete(Path("n.u").c_str(), 1));
  GUnicodeOS = 1;
}

}  // namespace
