#include "patcher/package_composite.h"

#include "gtest/gtest.h"
#include "patcher/composite_pkg_saver.h"
#include "testing/package_test_util.h"

namespace {

using engine_test::FGuardedScope;
using engine_test::FMemoryArchive;
using engine_test::History;
using patcher_test::DiffWriter;
using patcher_test::LoadModel;
using patcher_test::SmallModel;
using patcher_test::Text;

// A composite over difference-file bytes.
struct Composed {
  explicit Composed(std::vector<BYTE> Bytes) : Ar(std::move(Bytes)), Pkg(&Ar) {}
  FMemoryArchive Ar;
  FPackageComposite Pkg;
};

// Keeps the small package's names, imports and exports where they are.
DiffWriter& KeepAll(DiffWriter& D, FGuid Guid = FGuid(9, 8, 7, 6)) {
  D.Header(128, 0, Guid).Int(8).Int(8);
  for (INT i = 0; i < 8; ++i) D.Int(i).Int(i);
  D.Int(0);                                           // added names
  D.Int(2).Int(2).Int(0).Int(0).Int(1).Int(1).Int(0);  // imports
  D.Int(2).Int(2).Dword(0).Dword(0).Dword(1).Dword(1).Int(0);  // exports
  return D;
}

std::vector<BYTE> Save(FPackageComposite& C) {
  FMemoryArchive Out;
  FCompositePkgSaver Saver(&Out, &C);
  Saver.Save();
  return Out.Bytes;
}

std::wstring FailedCheck(const char* Expr) { return L"Assertion failed: " + appFromAnsi(Expr) + L" [File:Gleaner]"; }

class Composite : public ::testing::Test {
 protected:
  void SetUp() override { FName::StaticInit(); }
};

TEST_F(Composite, KeepingEverythingGivesTheOldPackageBack) {
  FGuardedScope Guarded;
  const std::vector<BYTE> OldBytes = pkgtool::BuildPackage(SmallModel());
  auto Old = LoadModel(SmallModel());
  DiffWriter D;
  KeepAll(D).Int(0).Int(0).Int(0);
  Composed C(D.Done());
  C.Pkg.Compose(Old->Pkg);
  EXPECT_EQ(C.Pkg.ObjectMap.Num(), 2);
  EXPECT_STREQ(*C.Pkg.ObjectMap(1).ObjPath, L"B.C");
  EXPECT_EQ(Save(C.Pkg), OldBytes);

  // Version, flags and GUID come from the difference file.
  DiffWriter D2;
  KeepAll(D2, FGuid(5, 5, 5, 5)).Int(0).Int(0).Int(0);
  std::vector<BYTE> Bytes = D2.Done();
  Bytes[0] = 100;  // version 100
  Bytes[4] = 0x21;  // flags
  Composed C2(Bytes);
  C2.Pkg.Compose(Old->Pkg);
  EXPECT_EQ(C2.Pkg.Summary.FileVersion, 100);
  EXPECT_EQ(C2.Pkg.Summary.PackageFlags, 0x21u);
  EXPECT_EQ(C2.Pkg.Summary.Guid, FGuid(5, 5, 5, 5));
}

TEST_F(Composite, KeptImportsAndExportsAreRenumberedByTheFirstMatch) {
  FGuardedScope Guarded;
  pkgtool::PackageModel M = SmallModel();
  M.Imports.assign(6, {1, 3, 0, 4});
  M.Imports[3].PackageIndex = -6;  // import 5
  M.Exports.assign(8, {0, 0, 0, 6, 0, {'x'}});
  M.Exports[7].PackageIndex = 5;  // export 4
  M.Exports[7].ClassIndex = -6;   // import 5
  M.Exports[7].SuperIndex = 5;
  auto Old = LoadModel(M);
  DiffWriter D;
  D.Header().Int(8).Int(8);
  for (INT i = 0; i < 8; ++i) D.Int(i).Int(i);
  D.Int(0);
  D.Int(2).Int(2).Int(5).Int(1).Int(3).Int(0).Int(0);
  // Kept exports (4, 0) and (7, 2); export 7 also gets new flags, and a super
  // index that would otherwise be renumbered is taken as given.
  D.Int(3).Int(2).Dword(4).Dword(0).Dword(7).Dword(2 | KEPT_EXPORT_NEW_FLAGS | KEPT_EXPORT_NEW_SUPER);
  D.Dword(0x99).Int(5).Int(1).Int(1).Export(0, 0, 0, 7, 3);
  D.Int(0).Int(0).Int(0);
  Composed C(D.Done());
  C.Pkg.Compose(Old->Pkg);
  EXPECT_EQ(C.Pkg.ImportMap(0).PackageIndex, -2);
  EXPECT_EQ(C.Pkg.ExportMap(2).PackageIndex, 1);
  EXPECT_EQ(C.Pkg.ExportMap(2).ClassIndex, -2);
  EXPECT_EQ(C.Pkg.ExportMap(2).SuperIndex, 5);
  EXPECT_EQ(C.Pkg.ExportMap(2).ObjectFlags, 0x99u);
  EXPECT_EQ(C.Pkg.ExportMap(1).ObjectName, FName(L"C"));  // changed, read as is
  EXPECT_EQ(C.Pkg.Summary.ExportCount, 3);
  // Kept objects follow the kept exports; the others keep their old index.
  ASSERT_EQ(C.Pkg.ObjectMap.Num(), 8);
  EXPECT_EQ(C.Pkg.ObjectMap(4).Index, 0);
  EXPECT_EQ(C.Pkg.ObjectMap(7).Index, 2);
  EXPECT_EQ(C.Pkg.ObjectMap(5).Index, 5);
}

TEST_F(Composite, AddedDeletedAndPatchedObjects) {
  FGuardedScope Guarded;
  auto Old = LoadModel(SmallModel());
  DiffWriter D;
  D.Header().Int(8).Int(8);
  for (INT i = 0; i < 8; ++i) D.Int(i).Int(i);
  D.Int(1).Int(7).Entry(L"Dee", 0x40);  // slot 7 replaced
  D.Int(2).Int(2).Int(0).Int(0).Int(1).Int(1).Int(0);
  D.Int(2).Int(1).Dword(0).Dword(0).Int(1).Int(1).Export(-2, 0, 1, 7, 0);
  D.Int(1).Int(1).Bytes("new");  // added for export 1
  D.Int(1).Int(1);               // old object 1 deleted
  // Export 0 ("bbb"): length 5, "Z" at 0, bytes 3 and 4 stay zero;
  // then an appended chunk at 5, overwritten in part by a later chunk.
  D.Int(1).Int(0).Int(5).Int(3).Int(0).Bytes("Z").Int(5).Bytes("tail").Int(6).Bytes("A");
  Composed C(D.Done());
  C.Pkg.Compose(Old->Pkg);
  EXPECT_STREQ(C.Pkg.NameEntries(7).Name, L"Dee");
  EXPECT_EQ(C.Pkg.NameEntries(7).Flags, 0x40u);
  EXPECT_EQ(C.Pkg.NameEntries(4).Flags, FName(L"Pkg").GetFlags());
  ASSERT_EQ(C.Pkg.ObjectMap.Num(), 2);
  EXPECT_EQ(C.Pkg.ObjectMap(0).Index, 1);
  EXPECT_STREQ(*C.Pkg.ObjectMap(0).ObjPath, L"B.Dee");
  EXPECT_EQ(C.Pkg.ObjectMap(1).Index, 0);
  EXPECT_EQ(Text(C.Pkg.ObjectMap(1).DataArray), std::string("Zbb\0\0tAil", 9));

  // The writer: names right after the summary, data in export order.
  const std::vector<BYTE> Bytes = Save(C.Pkg);
  patcher_test::Loaded Back(Bytes);
  Back.Pkg.LoadSummary();
  EXPECT_EQ(Text(Back.Pkg.ObjectMap(0).DataArray), std::string("Zbb\0\0tAil", 9));
  EXPECT_EQ(Text(Back.Pkg.ObjectMap(1).DataArray), "new");
  EXPECT_STREQ(*Back.Pkg.ObjectMap(1).ObjPath, L"B.Dee");
  FMemoryArchive SummaryOnly;
  FPackageFileSummary Sum = Back.Pkg.Summary;
  SummaryOnly << Sum;
  EXPECT_EQ(Back.Pkg.Summary.NameOffset, static_cast<INT>(SummaryOnly.Bytes.size()));
  EXPECT_EQ(Back.Pkg.Summary.Generations(0).NameCount, 8);
}

struct BadCase {
  const char* Name;
  std::vector<BYTE> Diff;
  const char* Check;
};

TEST_F(Composite, InconsistentDifferenceFilesFailChecks) {
  FGuardedScope Guarded;
  auto Old = LoadModel(SmallModel());
  std::vector<BadCase> Cases;
  auto Patch = [](std::initializer_list<std::pair<INT, std::string>> Chunks, INT Length) {
    DiffWriter D;
    KeepAll(D).Int(0).Int(0).Int(1).Int(0).Int(Length).Int(static_cast<INT>(Chunks.size()));
    for (auto& [Pos, Bytes] : Chunks) D.Int(Pos).Bytes(Bytes);
    return D.Done();
  };
  Cases.push_back({"second append", Patch({{3, "x"}, {4, "y"}}, 3), "!bAppended"});
  Cases.push_back({"chunk beyond", Patch({{4, "x"}}, 3), "Pos == ObjectMap(j).DataArray.Num()"});
  Cases.push_back({"chunk past the end", Patch({{2, "xy"}}, 3),
                   "static_cast<int64_t>(Pos) + Length <= ObjectMap(j).DataArray.Num()"});
  Cases.push_back({"negative chunk", Patch({{-1, "x"}}, 3), "Pos >= 0"});
  Cases.push_back({"length beyond the file", Patch({}, 1000), "NewLength - Data.Num() <= Remaining(*this)"});
  {
    DiffWriter D;
    D.Header(67).Int(0);
    Cases.push_back({"old version", D.Done(), "(DiffFileVersion & 0xFFFF) >= 68"});
  }
  {
    DiffWriter D;
    D.Header().Int(2).Int(1).Int(0).Int(0).Int(0);
    Cases.push_back({"unassigned name", D.Done(), "Assigned(i)"});
  }
  {
    DiffWriter D;
    D.Header().Int(1).Int(1).Int(8).Int(0);
    Cases.push_back({"old name", D.Done(), "OldPos < OldPkgData.NameMap.Num()"});
  }
  {
    DiffWriter D;
    D.Header().Int(1).Int(1).Int(-1).Int(0);
    Cases.push_back({"negative name", D.Done(), "OldPos >= 0"});
  }
  {
    DiffWriter D;
    D.Header().Int(-1);
    Cases.push_back({"negative count", D.Done(), "NewCount >= 0"});
  }
  {
    DiffWriter D;
    D.Header().Int(0).Int(0).Int(0).Int(1).Int(0).Int(1).Int(1).Import(0, 0, 0, 0);
    Cases.push_back({"changed import", D.Done(), "Idx < ImportMap.Num()"});
  }
  {
    DiffWriter D;
    D.Header().Int(0).Int(0).Int(0).Int(0).Int(0).Int(0).Int(1).Int(1).Dword(2).Dword(0);
    Cases.push_back({"kept export", D.Done(), "OldPos < OldPkgData.ExportMap.Num()"});
  }
  {
    DiffWriter D;
    KeepAll(D).Int(0).Int(1).Int(2);
    Cases.push_back({"deleted object", D.Done(), "ArrayDeletedIndex(i) < OldPkgData.ObjectMap.Num()"});
  }
  {
    DiffWriter D;
    KeepAll(D).Int(0).Int(2).Int(0).Int(1).Int(1).Int(1).Int(0).Int(0);
    Cases.push_back({"patch without object", D.Done(), "j < ObjectMap.Num()"});
  }
  for (const BadCase& Case : Cases) {
    appResetErrorState();
    Old = LoadModel(SmallModel());  // a composition takes the old bytes over
    Composed C(Case.Diff);
    EXPECT_THROW(C.Pkg.Compose(Old->Pkg), int) << Case.Name;
    EXPECT_EQ(History().find(FailedCheck(Case.Check)), 0u) << Case.Name << ": " << History();
  }

  // A negative new length fails the container's own check.
  appResetErrorState();
  Old = LoadModel(SmallModel());
  Composed C(Patch({}, -1));
  EXPECT_THROW(C.Pkg.Compose(Old->Pkg), int);
  EXPECT_EQ(History().find(L"Assertion failed: Index>=0"), 0u) << History();
  // A file that ends early reads past its end.
  appResetErrorState();
  Old = LoadModel(SmallModel());
  std::vector<BYTE> Short = Patch({{0, "x"}}, 3);
  Short.resize(Short.size() - 5);
  Composed S(Short);
  EXPECT_THROW(S.Pkg.Compose(Old->Pkg), int);
  EXPECT_EQ(History().find(L"ReadFile beyond EOF"), 0u) << History();
}

TEST_F(Composite, WriterChecks) {
  FGuardedScope Guarded;
  auto Old = LoadModel(SmallModel());
  {
    // Export 1 keeps no data and gets none.
    DiffWriter D;
    KeepAll(D).Int(0).Int(1).Int(1).Int(0);
    Composed C(D.Done());
    C.Pkg.Compose(Old->Pkg);
    EXPECT_THROW(Save(C.Pkg), int);
    EXPECT_EQ(History().find(FailedCheck("j < CompositeData->ObjectMap.Num()")), 0u) << History();
  }
  {
    // An empty added object: serial size 0 at the import table's offset;
    // the first of two objects for one export wins.
    appResetErrorState();
    Old = LoadModel(SmallModel());
    DiffWriter D;
    KeepAll(D).Int(2).Int(1).Bytes("").Int(1).Bytes("zz").Int(0).Int(0);
    Composed C(D.Done());
    C.Pkg.Compose(Old->Pkg);
    const std::vector<BYTE> Bytes = Save(C.Pkg);
    patcher_test::Loaded Back(Bytes);
    Back.Pkg.LoadSummary();
    EXPECT_EQ(Back.Pkg.ExportMap(1).SerialSize, 0);
    EXPECT_EQ(C.Pkg.ExportMap(1).SerialOffset, Back.Pkg.Summary.ImportOffset);
    EXPECT_EQ(Back.Pkg.ObjectMap.Num(), 1);
  }
  {
    // A name the new table lacks.
    appResetErrorState();
    Old = LoadModel(SmallModel());
    DiffWriter D;
    D.Header().Int(1).Int(1).Int(0).Int(0).Int(0);
    D.Int(1).Int(1).Int(1).Int(0).Int(0);  // import Pkg.A kept: its names are gone
    D.Int(0).Int(0).Int(0).Int(0).Int(0).Int(0).Int(0);
    Composed C(D.Done());
    C.Pkg.Compose(Old->Pkg);
    EXPECT_THROW(Save(C.Pkg), int);
    EXPECT_EQ(History().find(FailedCheck("NameIndex != INDEX_NONE")), 0u) << History();
  }
  {
    appResetErrorState();
    Old = LoadModel(SmallModel());
    DiffWriter D;
    KeepAll(D).Int(0).Int(0).Int(0);
    Composed C(D.Done());
    C.Pkg.Compose(Old->Pkg);
    C.Pkg.Summary.Generations.Empty();
    EXPECT_THROW(Save(C.Pkg), int);
    EXPECT_EQ(History().find(L"Assertion failed: c<ArrayNum"), 0u) << History();
  }
}

}  // namespace
