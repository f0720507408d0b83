// pkgtool's difference files against Gleaner's composition: random packages,
// random edits, byte-identical results.
#include <algorithm>
#include <map>
#include <random>

#include "gtest/gtest.h"
#include "patcher/composite_pkg_saver.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/wide_text.h"
#include "publisher/pkgtool/package_tool.h"
#include "testing/engine_test_util.h"
#include "testing/testing.h"

namespace {

using engine_test::FGuardedScope;
using engine_test::FMemoryArchive;

// Objects by id; package references only go to lower ids, so paths end.
struct Object {
  int Id;
  bool IsImport;
  std::wstring Name, ClassPackage, ClassName;
  int Package = -1, Class = -1, Super = -1;  // ids, -1 none
  DWORD Flags = 0;
  std::vector<BYTE> Data;
};

struct Graph {
  std::vector<std::pair<std::wstring, DWORD>> Names;  // slot order
  std::vector<Object> Imports, Exports;
  DWORD PackageFlags = 0;
  FGuid Guid;
  std::vector<FGenerationInfo> Earlier;
  int NextId = 0, NextName = 0;
};

class Random {
 public:
  explicit Random(unsigned Seed) : Gen(Seed) {}
  int Below(int N) { return N <= 0 ? 0 : std::uniform_int_distribution<int>(0, N - 1)(Gen); }
  bool Chance(int Percent) { return Below(100) < Percent; }
  std::mt19937 Gen;
};

std::wstring NewName(Graph& G, Random& R) {
  std::wstring Text = L"N" + std::to_wstring(G.NextName++);
  static const DWORD Flags[] = {0, 0x10, 0x70010};
  G.Names.push_back({Text, Flags[R.Below(3)]});
  return Text;
}

std::wstring AnyName(Graph& G, Random& R) {
  if (G.Names.empty() || R.Chance(20)) return NewName(G, R);
  return G.Names[R.Below(static_cast<int>(G.Names.size()))].first;
}

std::vector<BYTE> RandomData(Random& R, int Max) {
  std::vector<BYTE> D(R.Below(Max));
  for (BYTE& B : D) B = static_cast<BYTE>(R.Below(4));  // few values: patches match often
  return D;
}

int AnyLowerId(const std::vector<Object>& Pool, int Id, Random& R) {
  std::vector<int> Ids;
  for (const Object& O : Pool)
    if (O.Id < Id) Ids.push_back(O.Id);
  return Ids.empty() || R.Chance(30) ? -1 : Ids[R.Below(static_cast<int>(Ids.size()))];
}

Object NewImport(Graph& G, Random& R) {
  Object O{G.NextId++, true, AnyName(G, R), AnyName(G, R), AnyName(G, R), -1, -1, -1, 0, {}};
  O.Package = AnyLowerId(G.Imports, O.Id, R);
  return O;
}

Object NewExport(Graph& G, Random& R) {
  Object O{G.NextId++, false, AnyName(G, R), L"", L"", -1, -1, -1, 0, {}};
  O.Package = AnyLowerId(G.Exports, O.Id, R);
  if (!G.Imports.empty() && R.Chance(80)) O.Class = G.Imports[R.Below(static_cast<int>(G.Imports.size()))].Id;
  if (!G.Exports.empty() && R.Chance(30)) O.Super = G.Exports[R.Below(static_cast<int>(G.Exports.size()))].Id;
  O.Flags = static_cast<DWORD>(R.Below(8));
  if (R.Chance(85)) O.Data = RandomData(R, 300);
  return O;
}

pkgtool::PackageModel ToModel(const Graph& G) {
  pkgtool::PackageModel M;
  M.PackageFlags = G.PackageFlags;
  M.Guid = G.Guid;
  M.EarlierGenerations = G.Earlier;
  for (auto& [Text, Flags] : G.Names) M.Names.push_back({Text, Flags});
  std::map<int, INT> Ref;
  for (size_t i = 0; i < G.Imports.size(); ++i) Ref[G.Imports[i].Id] = -static_cast<INT>(i) - 1;
  for (size_t i = 0; i < G.Exports.size(); ++i) Ref[G.Exports[i].Id] = static_cast<INT>(i) + 1;
  auto R = [&](int Id) { return Id < 0 || !Ref.count(Id) ? 0 : Ref[Id]; };
  for (const Object& O : G.Imports)
    M.Imports.push_back({M.NameSlot(O.ClassPackage), M.NameSlot(O.ClassName), R(O.Package), M.NameSlot(O.Name)});
  for (const Object& O : G.Exports)
    M.Exports.push_back({R(O.Class), R(O.Super), R(O.Package), M.NameSlot(O.Name), O.Flags, O.Data});
  return M;
}

Graph RandomGraph(Random& R) {
  Graph G;
  G.PackageFlags = R.Below(4);
  G.Guid = FGuid(R.Below(9), 2, 3, 4);
  for (int i = R.Below(3); i > 0; --i) G.Earlier.push_back(FGenerationInfo(R.Below(9), R.Below(9)));
  for (int i = R.Below(6); i > 0; --i) NewName(G, R);
  for (int i = R.Below(7); i > 0; --i) G.Imports.push_back(NewImport(G, R));
  for (int i = R.Below(12); i > 0; --i) G.Exports.push_back(NewExport(G, R));
  return G;
}

template <class T>
void Shuffle(std::vector<T>& V, Random& R) {
  std::shuffle(V.begin(), V.end(), R.Gen);
}

Graph Edit(Graph G, Random& R) {
  if (R.Chance(20)) G.PackageFlags ^= 1;
  if (R.Chance(20)) G.Guid.D++;
  if (R.Chance(30)) Shuffle(G.Names, R);
  if (R.Chance(30) && !G.Names.empty()) G.Names[R.Below(static_cast<int>(G.Names.size()))].second ^= 0x4;
  if (R.Chance(30)) Shuffle(G.Imports, R);
  if (R.Chance(30)) Shuffle(G.Exports, R);
  if (R.Chance(30) && !G.Imports.empty()) G.Imports.erase(G.Imports.begin() + R.Below(static_cast<int>(G.Imports.size())));
  if (R.Chance(30) && !G.Exports.empty()) G.Exports.erase(G.Exports.begin() + R.Below(static_cast<int>(G.Exports.size())));
  for (int i = R.Below(3); i > 0; --i) G.Imports.push_back(NewImport(G, R));
  for (int i = R.Below(3); i > 0; --i) G.Exports.push_back(NewExport(G, R));
  for (Object& O : G.Imports)
    if (R.Chance(10)) O.ClassName = AnyName(G, R);
  for (Object& O : G.Exports) {
    if (R.Chance(10)) O.Flags = R.Chance(10) ? 0xFFFFFFFFu : static_cast<DWORD>(R.Below(8));
    if (R.Chance(10)) O.Super = G.Exports[R.Below(static_cast<int>(G.Exports.size()))].Id;
    if (R.Chance(5) && !G.Imports.empty()) O.Class = G.Imports[R.Below(static_cast<int>(G.Imports.size()))].Id;
    if (R.Chance(5)) O.Package = AnyLowerId(G.Exports, O.Id, R);
    if (R.Chance(5)) O.Name = AnyName(G, R);
    const int Kind = R.Below(10);
    if (Kind == 0) O.Data = RandomData(R, 300);
    if (Kind == 1 && !O.Data.empty()) O.Data[R.Below(static_cast<int>(O.Data.size()))] ^= 0x55;
    if (Kind == 2) O.Data.resize(R.Below(static_cast<int>(O.Data.size()) + 1));
    if (Kind == 3)
      for (int n = R.Below(40); n > 0; --n) O.Data.push_back(static_cast<BYTE>(R.Below(256)));
    if (Kind == 4) O.Data.clear();
  }
  return G;
}

// Loads, diffs and composes in this process; returns the composed bytes.
std::vector<BYTE> DiffAndCompose(const std::vector<BYTE>& OldBytes, const std::vector<BYTE>& NewBytes,
                                 std::vector<BYTE>* DiffBytes) {
  FMemoryArchive OldAr(OldBytes), NewAr(NewBytes);
  FPackageData Old(&OldAr), New(&NewAr);
  Old.LoadSummary();
  const pkgtool::NameSnapshot Snapshot = pkgtool::SnapshotNames(Old);
  New.LoadSummary();
  pkgtool::DiffStats Stats;
  std::string Error;
  EXPECT_TRUE(pkgtool::MakeDiff(Old, Snapshot, New, DiffBytes, &Stats, &Error)) << Error;
  FMemoryArchive DiffAr(*DiffBytes), Out;
  FPackageComposite Composite(&DiffAr);
  Composite.Compose(Old);
  FCompositePkgSaver Saver(&Out, &Composite);
  Saver.Save();
  return Out.Bytes;
}

TEST(PackageDiff, RandomEditsComposeByteIdentically) {
  pkgtool::InstallServices();
  FGuardedScope Guarded;
  for (unsigned Seed = 1; Seed <= 300; ++Seed) {
    Random R(Seed);
    const Graph OldGraph = RandomGraph(R);
    const Graph NewGraph = Edit(OldGraph, R);
    const std::vector<BYTE> OldBytes = pkgtool::BuildPackage(ToModel(OldGraph));
    const std::vector<BYTE> NewBytes = pkgtool::BuildPackage(ToModel(NewGraph));
    std::vector<BYTE> Diff;
    try {
      EXPECT_EQ(DiffAndCompose(OldBytes, NewBytes, &Diff), NewBytes) << "seed " << Seed;
    } catch (int) {
      ADD_FAILURE() << "seed " << Seed << ": " << platform::WideToAnsi(GErrorHist);
      appResetErrorState();
    }
  }
}

TEST(PackageDiff, SmallChangesMakeSmallDifferenceFiles) {
  pkgtool::InstallServices();
  FGuardedScope Guarded;
  pkgtool::PackageModel M;
  M.Imports.push_back({M.NameSlot(L"Core"), M.NameSlot(L"Class"), 0, M.NameSlot(L"Texture")});
  M.Exports.push_back({-1, 0, 0, M.NameSlot(L"Big"), 0, std::vector<BYTE>(100000, 7)});
  const std::vector<BYTE> Old = pkgtool::BuildPackage(M);
  M.Exports[0].Data[500] = 8;
  M.Exports[0].Data.push_back(9);
  const std::vector<BYTE> New = pkgtool::BuildPackage(M);
  std::vector<BYTE> Diff;
  EXPECT_EQ(DiffAndCompose(Old, New, &Diff), New);
  EXPECT_LT(Diff.size(), 200u);
}

// The same through the programs and files, enciphered too.
TEST(PackageDiff, ThroughThePrograms) {
  pkgtool::InstallServices();
  testkit::TempDir Dir;
  const std::string Pkgtool = testkit::BuiltProgram("pkgtool");
  const std::string Gleaner = testkit::BuiltProgram("Gleaner");
  for (unsigned Seed = 1000; Seed < 1004; ++Seed) {
    Random R(Seed);
    const Graph OldGraph = RandomGraph(R);
    const std::vector<BYTE> NewBytes = pkgtool::BuildPackage(ToModel(Edit(OldGraph, R)));
    const bool Encrypt = Seed % 2;
    ASSERT_TRUE(pkgtool::WriteEngineFile(platform::AnsiToWide(Dir / "old.pkg"),
                                         pkgtool::BuildPackage(ToModel(OldGraph)), Encrypt));
    ASSERT_TRUE(pkgtool::WriteEngineFile(platform::AnsiToWide(Dir / "new.pkg"), NewBytes, false));
    auto Run = [&](const std::string& Line) {
      auto P = platform::StartProcess(Line, Dir.Path());
      EXPECT_TRUE(P && P->Wait());
      return P ? P->ExitCode() : -1000;
    };
    ASSERT_EQ(Run(platform::QuoteArgument(Pkgtool) + " diff old.pkg new.pkg " +
                  platform::QuoteArgument(Dir / "d.diff") + (Seed % 4 < 2 ? " -encrypt" : "")),
              0);
    ASSERT_EQ(Run(platform::QuoteArgument(Gleaner) + " \"" + (Dir / "d.diff") + "\" \"" + (Dir / "old.pkg") +
                  "\" \"" + (Dir / "out.pkg") + "\""),
              0);
    std::string Out;
    ASSERT_TRUE(platform::ReadFileToString(Dir / "out.pkg", &Out));
    if (Encrypt) {
      ASSERT_EQ(Out.substr(0, 10), "TRXArchive");
      Out = Out.substr(10);
      for (size_t i = 0; i < Out.size(); ++i) Out[i] ^= FArchive::TransformKey[i % 1024];
    }
    EXPECT_EQ(Out, std::string(NewBytes.begin(), NewBytes.end())) << "seed " << Seed;
  }
}

}  // namespace
