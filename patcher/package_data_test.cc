#include "patcher/package_data.h"

#include "gtest/gtest.h"
#include "testing/package_test_util.h"

namespace {

using engine_test::FGuardedScope;
using engine_test::History;
using patcher_test::Loaded;
using patcher_test::LoadModel;
using patcher_test::SmallModel;

class PackageData : public ::testing::Test {
 protected:
  void SetUp() override { FName::StaticInit(); }
};

// Records the positions it is asked to seek to.
class FSeekRecorder : public engine_test::FMemoryArchive {
 public:
  using FMemoryArchive::FMemoryArchive;
  void Seek(INT InPos) override {
    Seeks.push_back(InPos);
    FMemoryArchive::Seek(InPos);
  }
  std::vector<INT> Seeks;
};

TEST_F(PackageData, LoadsTablesDataAndPaths) {
  FGuardedScope Guarded;
  pkgtool::PackageModel M = SmallModel();
  M.Exports.push_back({-2, 0, 2, 5, 0x4, {}});  // export 2: B.C.A, no data
  M.EarlierGenerations.push_back(FGenerationInfo(1, 2));
  auto L = LoadModel(M);
  FPackageData& P = L->Pkg;
  EXPECT_EQ(P.Summary.Version(), 128);
  EXPECT_EQ(P.Summary.Guid, FGuid(9, 8, 7, 6));
  ASSERT_EQ(P.Summary.Generations.Num(), 2);
  EXPECT_EQ(P.Summary.Generations(1).ExportCount, 3);
  ASSERT_EQ(P.NameMap.Num(), 8);
  EXPECT_STREQ(*P.NameMap(4), L"Pkg");
  EXPECT_EQ(P.ImportMap(1).PackageIndex, -1);
  EXPECT_EQ(P.ImportMap(1).ObjectName, FName(L"A"));
  // Only exports with data have objects, in export order.
  ASSERT_EQ(P.ObjectMap.Num(), 2);
  EXPECT_EQ(P.ObjectMap(1).Index, 1);
  EXPECT_EQ(patcher_test::Text(P.ObjectMap(1).DataArray), "cc");
  EXPECT_STREQ(*P.ObjectMap(1).ObjPath, L"B.C");
  EXPECT_STREQ(*P.ObjectPath(3), L"B.C.A");
  EXPECT_STREQ(*P.ObjectPath(-2), L"Pkg.A");
  EXPECT_STREQ(*P.ObjectPath(-1), L"Pkg");
  EXPECT_STREQ(*P.ObjectPath(0), L"");
}

TEST_F(PackageData, OlderLayoutTakesTheLastHeritageGuid) {
  FGuardedScope Guarded;
  pkgtool::PackageModel M = SmallModel();
  M.Version = 60;
  // The package's own GUID ends a table of three distinct ones.
  M.EarlierGuids = {FGuid(1, 1, 1, 1), FGuid(2, 2, 2, 2)};
  auto L = LoadModel(M);
  EXPECT_EQ(L->Pkg.Summary.Guid, FGuid(9, 8, 7, 6));
  ASSERT_EQ(L->Pkg.Summary.Generations.Num(), 1);
  EXPECT_EQ(L->Pkg.Summary.Generations(0).ExportCount, 2);
  EXPECT_EQ(L->Pkg.Summary.Generations(0).NameCount, 8);
  EXPECT_STREQ(*L->Pkg.ObjectMap(1).ObjPath, L"B.C");
}

TEST_F(PackageData, WrongTagAndOldVersionRaiseTheEngineText) {
  FGuardedScope Guarded;
  const TCHAR* Aborted = LocalizeError(TEXT("Aborted"), TEXT("FPackageData"));
  std::vector<BYTE> Bytes = pkgtool::BuildPackage(SmallModel());
  Bytes[0] ^= 1;
  {
    FSeekRecorder Ar(Bytes);
    FPackageData P(&Ar);
    try {
      P.LoadSummary();
      FAIL();
    } catch (const TCHAR* Text) {
      EXPECT_EQ(Text, Aborted);
    }
    EXPECT_EQ(Ar.Pos, 4);  // nothing read past the tag
  }
  pkgtool::PackageModel M = SmallModel();
  M.Version = 59;
  Loaded L(pkgtool::BuildPackage(M));
  EXPECT_THROW(L.Pkg.LoadSummary(), const TCHAR*);
  EXPECT_EQ(History(), L"");  // engine texts add no labels
}

TEST_F(PackageData, EmptyTablesAreNotSeekedTo) {
  FGuardedScope Guarded;
  pkgtool::PackageModel M;
  FSeekRecorder Ar(pkgtool::BuildPackage(M));
  FPackageData P(&Ar);
  P.LoadSummary();
  EXPECT_TRUE(Ar.Seeks.empty());
  EXPECT_EQ(P.ObjectMap.Num(), 0);
}

TEST_F(PackageData, BadNameIndexIsCriticalWithLabels) {
  FGuardedScope Guarded;
  pkgtool::PackageModel M = SmallModel();
  M.Imports[1].ObjectName = 8;  // one past the table
  Loaded L(pkgtool::BuildPackage(M));
  EXPECT_THROW(L.Pkg.LoadSummary(), int);
  EXPECT_EQ(History().find(L"Bad name index 8/8.  This error"), 0u);
  EXPECT_NE(History().find(L"History: LoadImportMap <- LoadSummary"), std::wstring::npos);
}

TEST_F(PackageData, ReadPastTheEndIsCritical) {
  FGuardedScope Guarded;
  std::vector<BYTE> Bytes = pkgtool::BuildPackage(SmallModel());
  Bytes.resize(Bytes.size() - 3);
  Loaded L(Bytes);
  EXPECT_THROW(L.Pkg.LoadSummary(), int);
  EXPECT_NE(History().find(L"LoadExportMap <- LoadSummary"), std::wstring::npos);
}

TEST_F(PackageData, BadReferencesAndLoopingChainsAreCritical) {
  {
    FGuardedScope Guarded;
    pkgtool::PackageModel M = SmallModel();
    M.Exports[1].PackageIndex = 5;
    Loaded L(pkgtool::BuildPackage(M));
    EXPECT_THROW(L.Pkg.LoadSummary(), int);
    EXPECT_EQ(History().find(L"Bad export index 4/2"), 0u) << History();
    EXPECT_NE(History().find(L"BuildObjectPath <- LoadSummary"), std::wstring::npos);
  }
  {
    FGuardedScope Guarded;
    pkgtool::PackageModel M = SmallModel();
    M.Exports[0].PackageIndex = 2;  // B in B.C in B ...
    Loaded L(pkgtool::BuildPackage(M));
    EXPECT_THROW(L.Pkg.LoadSummary(), int);
    EXPECT_NE(History().find(L"loops back on itself"), std::wstring::npos);
  }
  {
    FGuardedScope Guarded;
    pkgtool::PackageModel M = SmallModel();
    M.Imports[0].PackageIndex = -1;  // an import that is its own package
    Loaded L(pkgtool::BuildPackage(M));
    L.Pkg.LoadSummary();  // no object's path runs through it
    EXPECT_THROW(L.Pkg.ObjectPath(-2), int);
  }
}

TEST_F(PackageData, ExportDataPastTheEndFailsBeforeAllocating) {
  FGuardedScope Guarded;
  std::vector<BYTE> Bytes = pkgtool::BuildPackage(SmallModel());
  Loaded Probe(Bytes);
  Probe.Pkg.LoadSummary();
  // The export table ends the file: write it again with a huge serial size.
  std::vector<BYTE> Patched(Bytes.begin(), Bytes.begin() + Probe.Pkg.Summary.ExportOffset);
  pkgtool::FBufferWriter W(128, [&](const FName& N) {
    INT Slot = 0;
    for (INT i = 0; i < Probe.Pkg.NameMap.Num(); ++i)
      if (Probe.Pkg.NameMap(i) == N) Slot = i;
    return Slot;
  });
  for (INT i = 0; i < Probe.Pkg.ExportMap.Num(); ++i) {
    FObjectExport X = Probe.Pkg.ExportMap(i);
    if (i == 0) X.SerialSize = 0x7FFFFF00;
    W << X;
  }
  Patched.insert(Patched.end(), W.Bytes.begin(), W.Bytes.end());
  Loaded Bad(Patched);
  EXPECT_THROW(Bad.Pkg.LoadSummary(), int);
  EXPECT_EQ(History().find(L"ReadFile beyond EOF"), 0u) << History();
  EXPECT_NE(History().find(L"LoadObjectMap <- LoadSummary"), std::wstring::npos);
}

}  // namespace
