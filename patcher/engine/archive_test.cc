#include "patcher/engine/archive.h"

#include <climits>

#include "gtest/gtest.h"
#include "patcher/engine/core.h"
#include "testing/engine_test_util.h"

namespace {

using engine_test::FGuardedScope;
using engine_test::FMemoryArchive;

std::vector<BYTE> SaveIndex(INT V) {
  FMemoryArchive Ar;
  Ar << AR_INDEX(V);
  return Ar.Bytes;
}

INT LoadIndex(const std::vector<BYTE>& Bytes, INT* Consumed = nullptr) {
  FMemoryArchive Ar(Bytes);
  INT V = 0;
  Ar << AR_INDEX(V);
  if (Consumed) *Consumed = Ar.Pos;
  return V;
}

TEST(CompactIndex, RoundTripsAtEveryLengthBoundary) {
  struct Case {
    INT Value;
    size_t Length;
  };
  const Case Cases[] = {
      {0, 1},          {63, 1},         {-63, 1},         {64, 2},          {-64, 2},
      {8191, 2},       {-8191, 2},      {8192, 3},        {-8192, 3},       {(1 << 20) - 1, 3},
      {1 << 20, 4},    {-(1 << 20), 4}, {(1 << 27) - 1, 4}, {1 << 27, 5},   {-(1 << 27), 5},
      {INT_MAX, 5},    {INT_MIN, 5},    {INT_MIN + 1, 5},
  };
  for (const Case& C : Cases) {
    std::vector<BYTE> Bytes = SaveIndex(C.Value);
    EXPECT_EQ(Bytes.size(), C.Length) << C.Value;
    INT Consumed = 0;
    EXPECT_EQ(LoadIndex(Bytes, &Consumed), C.Value);
    EXPECT_EQ(Consumed, static_cast<INT>(C.Length));
  }
}

TEST(CompactIndex, KnownEncodings) {
  EXPECT_EQ(SaveIndex(-1), (std::vector<BYTE>{0x81}));
  EXPECT_EQ(SaveIndex(64), (std::vector<BYTE>{0x40, 0x01}));
  EXPECT_EQ(SaveIndex(-8192), (std::vector<BYTE>{0xC0, 0x80, 0x01}));
  // A fifth byte carries the remaining high bits whole.
  EXPECT_EQ(SaveIndex(INT_MAX), (std::vector<BYTE>{0x7F, 0xFF, 0xFF, 0xFF, 0x0F}));
}

template <class T>
T RoundTrip(T Value, std::vector<BYTE>* Stored = nullptr) {
  FMemoryArchive Out;
  Out << Value;
  if (Stored) *Stored = Out.Bytes;
  FMemoryArchive In(Out.Bytes);
  T Back{};
  In << Back;
  EXPECT_EQ(In.Pos, static_cast<INT>(Out.Bytes.size()));
  return Back;
}

TEST(StringSerialiser, NarrowAndWideForms) {
  std::vector<BYTE> Stored;
  EXPECT_EQ(RoundTrip(FString(TEXT("Core")), &Stored), TEXT("Core"));
  EXPECT_EQ(Stored, (std::vector<BYTE>{5, 'C', 'o', 'r', 'e', 0}));

  // Latin-1 characters stay in the 8-bit form.
  EXPECT_EQ(RoundTrip(FString(TEXT("caf\xE9")), &Stored), TEXT("caf\xE9"));
  EXPECT_EQ(Stored[0], 5);

  EXPECT_EQ(RoundTrip(FString(TEXT("\x66F4\x65B0")), &Stored), TEXT("\x66F4\x65B0"));
  EXPECT_EQ(Stored, (std::vector<BYTE>{0x83, 0xF4, 0x66, 0xB0, 0x65, 0, 0}));

  EXPECT_EQ(RoundTrip(FString(), &Stored).Len(), 0);
  EXPECT_EQ(Stored, (std::vector<BYTE>{0}));
}

TEST(StringSerialiser, HostileLengthRunsIntoTheEndInsteadOfAllocating) {
  FGuardedScope Guarded;
  // Claims 2^29 characters, holds three.
  FMemoryArchive Ar({0x40 | 0x00, 0x80, 0x80, 0x80, 0x04, 'a', 'b', 'c'});
  FString S;
  EXPECT_THROW(Ar << S, int);
  EXPECT_NE(engine_test::History().find(L"ReadFile beyond EOF"), std::wstring::npos);
}

TEST(NameEntrySerialiser, VersionSelectsTheForm) {
  FNameEntry E{};
  appStrncpy(E.Name, TEXT("Engine"), NAME_SIZE);
  E.Flags = 0x00070010;

  FMemoryArchive New;
  New << E;
  EXPECT_EQ(New.Bytes, (std::vector<BYTE>{7, 'E', 'n', 'g', 'i', 'n', 'e', 0, 0x10, 0x00, 0x07, 0x00}));

  FMemoryArchive Old;
  Old.SetVer(63);
  Old << E;
  EXPECT_EQ(Old.Bytes, (std::vector<BYTE>{'E', 'n', 'g', 'i', 'n', 'e', 0, 0x10, 0x00, 0x07, 0x00}));

  for (FMemoryArchive* Saved : {&New, &Old}) {
    FMemoryArchive In(Saved->Bytes);
    In.SetVer(Saved->Ver());
    FNameEntry Back{};
    In << Back;
    EXPECT_STREQ(Back.Name, TEXT("Engine"));
    EXPECT_EQ(Back.Flags, 0x00070010u);
  }
}

TEST(NameEntrySerialiser, NameLongerThanTheFieldIsACriticalError) {
  FGuardedScope Guarded;
  FMemoryArchive Out;
  FString Long(std::wstring(64, L'x'));
  Out << Long;
  DWORD Flags = 0;
  Out << Flags;
  FMemoryArchive In(Out.Bytes);
  FNameEntry E{};
  EXPECT_THROW(In << E, int);
}

// Names inside records go through the archive's virtual operator<< for
// FName: here as a compact index into a private table.
class FNameIndexArchive : public FMemoryArchive {
 public:
  using FMemoryArchive::FMemoryArchive;
  using FArchive::operator<<;
  FArchive& operator<<(FName& N) override {
    INT Index = N.GetIndex();
    *this << AR_INDEX(Index);
    if (IsLoading()) N = FName::FromIndex(Index);
    return *this;
  }
};

TEST(RecordSerialisers, ImportAndExportLayouts) {
  FName::StaticInit();
  FName Core(TEXT("Core")), Class(TEXT("Class")), Object(TEXT("Object"));

  FObjectImport Import;
  Import.ClassPackage = Core;
  Import.ClassName = Class;
  Import.PackageIndex = -2;
  Import.ObjectName = Object;
  FNameIndexArchive Out;
  Out << Import;
  std::vector<BYTE> Expected = {static_cast<BYTE>(Core.GetIndex()), static_cast<BYTE>(Class.GetIndex()),
                                0xFE, 0xFF, 0xFF, 0xFF, static_cast<BYTE>(Object.GetIndex())};
  EXPECT_EQ(Out.Bytes, Expected);
  FNameIndexArchive In(Out.Bytes);
  FObjectImport Back;
  In << Back;
  EXPECT_EQ(Back.ClassName, Class);
  EXPECT_EQ(Back.PackageIndex, -2);
  EXPECT_EQ(Back.ObjectName, Object);
  EXPECT_EQ(Back.SourceIndex, INDEX_NONE);

  FObjectExport Export;
  Export.ClassIndex = -1;
  Export.SuperIndex = 70;
  Export.PackageIndex = 1;
  Export.ObjectName = Object;
  Export.ObjectFlags = 0x00040004;
  Export.SerialSize = 0;
  Export.SerialOffset = 1234;
  FNameIndexArchive NoData;
  NoData << Export;
  // No serial offset without data.
  EXPECT_EQ(NoData.Bytes.size(), 1u + 2u + 4u + 1u + 4u + 1u);
  Export.SerialSize = 100;
  FNameIndexArchive WithData;
  WithData << Export;
  EXPECT_EQ(WithData.Bytes.size(), 1u + 2u + 4u + 1u + 4u + 2u + 2u);
  FNameIndexArchive In2(WithData.Bytes);
  FObjectExport Back2;
  In2 << Back2;
  EXPECT_EQ(Back2.ClassIndex, -1);
  EXPECT_EQ(Back2.SuperIndex, 70);
  EXPECT_EQ(Back2.ObjectFlags, 0x00040004u);
  EXPECT_EQ(Back2.SerialSize, 100);
  EXPECT_EQ(Back2.SerialOffset, 1234);
}

TEST(RecordSerialisers, GuidAndGenerationAreLittleEndian) {
  std::vector<BYTE> Stored;
  FGuid G = RoundTrip(FGuid(1, 2, 3, 0x04030201), &Stored);
  EXPECT_EQ(G, FGuid(1, 2, 3, 0x04030201));
  EXPECT_EQ(Stored.size(), 16u);
  EXPECT_EQ(Stored[12], 0x01);
  EXPECT_EQ(Stored[15], 0x04);
  FGenerationInfo Info = RoundTrip(FGenerationInfo(5, 9), &Stored);
  EXPECT_EQ(Info.ExportCount, 5);
  EXPECT_EQ(Info.NameCount, 9);
  EXPECT_EQ(Stored, (std::vector<BYTE>{5, 0, 0, 0, 9, 0, 0, 0}));
}

TEST(Archive, NewArchiveDefaultsAndKey) {
  FArchive Ar;
  EXPECT_EQ(Ar.Ver(), 128);
  EXPECT_EQ(Ar.LicenseeVer(), 0);
  EXPECT_FALSE(Ar.IsLoading());
  EXPECT_FALSE(Ar.IsSaving());
  INT Zeros = 0;
  for (INT i = 0; i < 1024; ++i) {
    EXPECT_EQ(FArchive::TransformKey[i], (i * 167 + 91) % 256);
    if (!FArchive::TransformKey[i]) ++Zeros;
  }
  EXPECT_EQ(Zeros, 4);
}

TEST(Names, FindOrAddIsCaseBlindAndKeepsFlags) {
  FName::StaticInit();
  EXPECT_STREQ(*FName(), TEXT("None"));
  FName A(TEXT("TestPackageName"));
  FName B(TEXT("testpackagename"));
  EXPECT_EQ(A, B);
  EXPECT_STREQ(*B, TEXT("TestPackageName"));
  EXPECT_EQ(FName(TEXT("NeverAddedName"), FNAME_Find), FName());
  const INT Before = FName::GetMaxNames();
  FName C(TEXT("AnotherTestName"));
  EXPECT_EQ(C.GetIndex(), Before);
  EXPECT_EQ(FName::GetEntry(C.GetIndex())->Index, C.GetIndex());
  C.SetFlags(0x10);
  C.SetFlags(0x04);
  EXPECT_EQ(FName::GetEntry(C.GetIndex())->Flags, 0x14u);
}

TEST(Containers, ChecksReportTheirExpressions) {
  FGuardedScope Guarded;
  TArray<FGenerationInfo> Generations;
  EXPECT_THROW(Generations.Last(), int);
  EXPECT_NE(engine_test::History().find(L"c<ArrayNum"), std::wstring::npos);

  appResetErrorState();
  TArray<BYTE> Data;
  Data.AddZeroed(4);
  EXPECT_THROW(Data.Remove(-1, 5), int);
  EXPECT_NE(engine_test::History().find(L"Assertion failed: Index>=0"), std::wstring::npos);
}

TEST(Containers, ArraysOfStringsCopyAndShrink) {
  TArray<FString> A;
  for (INT i = 0; i < 100; ++i) A.AddItem(FString::Printf(TEXT("item %i %s"), i, TEXT("x")));
  TArray<FString> B = A;
  A.Remove(10, 80);
  EXPECT_EQ(A.Num(), 20);
  EXPECT_EQ(A(10), TEXT("item 90 x"));
  EXPECT_EQ(B.Num(), 100);
  EXPECT_EQ(B(99), TEXT("item 99 x"));
  INT Index = 0;
  EXPECT_TRUE(B.FindItem(FString(TEXT("item 42 x")), Index));
  EXPECT_EQ(Index, 42);
  FString S(TEXT("ab"));
  S += S;
  EXPECT_EQ(S, TEXT("abab"));
  EXPECT_EQ(S.Len(), 4);
}

TEST(Containers, ArraySerialiserStopsAtTheData) {
  FGuardedScope Guarded;
  // A count of 2^27 bytes with four bytes behind it.
  FMemoryArchive Ar({0x40, 0x80, 0x80, 0x80, 0x01, 1, 2, 3, 4});
  TArray<BYTE> Bytes;
  EXPECT_THROW(Ar << Bytes, int);
  EXPECT_EQ(Bytes.Num(), 5);
}

}  // namespace
