// Difference files: what survives from OLD, renumbered, and what is new or
// changed in NEW.
#include <cstring>
#include <map>
#include <unordered_map>

#include "patcher/package_composite.h"
#include "publisher/pkgtool/buffer_archive.h"
#include "publisher/pkgtool/package_tool.h"

namespace pkgtool {
namespace {

struct FChunk {
  INT Pos, Length;
};

// Chunks that turn A into B: overwrites within the common length (runs of
// differences closer than eight bytes merge), then one appended tail.
std::vector<FChunk> PatchChunks(const BYTE* A, INT ALen, const BYTE* B, INT BLen) {
  std::vector<FChunk> Chunks;
  const INT Common = Min(ALen, BLen);
  INT i = 0;
  while (i < Common) {
    if (i + 64 <= Common && std::memcmp(A + i, B + i, 64) == 0) {
      i += 64;
      continue;
    }
    if (A[i] == B[i]) {
      ++i;
      continue;
    }
    INT LastDiff = i;
    for (INT k = i + 1; k < Common && k - LastDiff <= 8; ++k)
      if (A[k] != B[k]) LastDiff = k;
    Chunks.push_back({i, LastDiff + 1 - i});
    i = LastDiff + 1;
  }
  if (BLen > Common) Chunks.push_back({Common, BLen - Common});
  return Chunks;
}

int64_t PatchCost(const std::vector<FChunk>& Chunks) {
  int64_t Cost = 12;
  for (const FChunk& C : Chunks) Cost += 8 + C.Length;
  return Cost;
}

// An object reference after the composition's renumbering (see Compose).
INT Renumber(INT Ref, const std::vector<INT>& ExportMap, const std::vector<INT>& ImportMap) {
  if (Ref > 0) {
    const size_t Old = static_cast<size_t>(Ref) - 1;
    if (Old < ExportMap.size() && ExportMap[Old] >= 0) return ExportMap[Old] + 1;
  } else if (Ref < 0) {
    const int64_t Old = -static_cast<int64_t>(Ref) - 1;
    if (Old < static_cast<int64_t>(ImportMap.size()) && ImportMap[Old] >= 0) return -ImportMap[Old] - 1;
  }
  return Ref;
}

// Pairs each NEW item with the first unused OLD item of the same key.
std::vector<INT> MatchByKey(const std::vector<std::wstring>& OldKeys, const std::vector<std::wstring>& NewKeys) {
  std::map<std::wstring, std::vector<INT>> Free;
  for (INT i = static_cast<INT>(OldKeys.size()) - 1; i >= 0; --i) Free[OldKeys[i]].push_back(i);
  std::vector<INT> NewToOld(NewKeys.size(), -1);
  for (size_t j = 0; j < NewKeys.size(); ++j) {
    auto It = Free.find(NewKeys[j]);
    if (It == Free.end() || It->second.empty()) continue;
    NewToOld[j] = It->second.back();
    It->second.pop_back();
  }
  return NewToOld;
}

std::vector<INT> Invert(const std::vector<INT>& NewToOld, size_t OldCount) {
  std::vector<INT> OldToNew(OldCount, -1);
  for (size_t j = 0; j < NewToOld.size(); ++j)
    if (NewToOld[j] >= 0) OldToNew[NewToOld[j]] = static_cast<INT>(j);
  return OldToNew;
}

std::wstring Key(const FName& A, const FName& B, const FName& C, const FString& Path) {
  return std::to_wstring(A.GetIndex()) + L"," + std::to_wstring(B.GetIndex()) + L"," +
         std::to_wstring(C.GetIndex()) + L":" + *Path;
}

// NEW's name entries as stored (the engine keeps one spelling per name).
std::vector<FNameEntry> ReadNameEntries(FPackageData& New) {
  std::vector<FNameEntry> NewEntries(New.NameMap.Num());
  if (New.Summary.NameCount > 0) New.Seek(New.Summary.NameOffset);
  for (FNameEntry& E : NewEntries) {
    appMemzero(&E, sizeof(E));
    New << E;
  }
  return NewEntries;
}

// Names: kept when Gleaner's copy of the engine entry gives NEW's text and
// flags exactly.
void WriteNames(FBufferWriter& Ar, FPackageData& New, const NameSnapshot& OldNames,
                std::vector<FNameEntry>& NewEntries, DiffStats* Stats) {
  std::map<std::wstring, INT> OldByText;
  for (size_t o = 0; o < OldNames.Text.size(); ++o) OldByText.emplace(OldNames.Text[o], static_cast<INT>(o));
  std::vector<std::pair<INT, INT>> Kept;
  std::vector<INT> Added;
  for (INT n = 0; n < static_cast<INT>(NewEntries.size()); ++n) {
    auto It = OldByText.find(NewEntries[n].Name);
    const DWORD Now = FName::GetEntry(New.NameMap(n).GetIndex())->Flags;
    if (It != OldByText.end() && OldNames.Flags[It->second] == NewEntries[n].Flags && Now == NewEntries[n].Flags)
      Kept.emplace_back(It->second, n);
    else
      Added.push_back(n);
  }
  INT Count = static_cast<INT>(NewEntries.size()), KeptCount = static_cast<INT>(Kept.size()),
      AddedCount = static_cast<INT>(Added.size());
  Ar << Count << KeptCount;
  for (auto& [O, N] : Kept) Ar << O << N;
  Ar << AddedCount;
  for (INT N : Added) Ar << N << NewEntries[N];
  Stats->KeptNames = KeptCount;
  Stats->AddedNames = AddedCount;
}

// Imports: matched by names and path, kept while their renumbered package
// index is NEW's. Returns each NEW import's OLD import, or -1.
std::vector<INT> MatchImports(FPackageData& Old, FPackageData& New) {
  const INT OldImports = Old.ImportMap.Num(), NewImports = New.ImportMap.Num();
  std::vector<std::wstring> OldKeys, NewKeys;
  for (INT i = 0; i < OldImports; ++i) {
    const FObjectImport& I = Old.ImportMap(i);
    OldKeys.push_back(Key(I.ClassPackage, I.ClassName, I.ObjectName, Old.ObjectPath(-i - 1)));
  }
  for (INT j = 0; j < NewImports; ++j) {
    const FObjectImport& I = New.ImportMap(j);
    NewKeys.push_back(Key(I.ClassPackage, I.ClassName, I.ObjectName, New.ObjectPath(-j - 1)));
  }
  std::vector<INT> ImportNewToOld = MatchByKey(OldKeys, NewKeys);
  for (bool Changed = true; Changed;) {
    Changed = false;
    const std::vector<INT> OldToNew = Invert(ImportNewToOld, OldImports);
    for (INT j = 0; j < NewImports; ++j) {
      const INT i = ImportNewToOld[j];
      if (i < 0) continue;
      const INT P = Old.ImportMap(i).PackageIndex;
      const INT Renumbered = P < 0 ? Renumber(P, {}, OldToNew) : P;
      if (Renumbered != New.ImportMap(j).PackageIndex) {
        ImportNewToOld[j] = -1;
        Changed = true;
      }
    }
  }
  return ImportNewToOld;
}

// Exports: matched by name and path; kept while the renumbered class and
// package are NEW's (flags and super index may be given anew). Returns each
// NEW export's OLD export, or -1.
std::vector<INT> MatchExports(FPackageData& Old, FPackageData& New, const std::vector<INT>& ImportOldToNew) {
  const INT OldExports = Old.ExportMap.Num(), NewExports = New.ExportMap.Num();
  std::vector<std::wstring> OldKeys, NewKeys;
  for (INT i = 0; i < OldExports; ++i)
    OldKeys.push_back(Key(Old.ExportMap(i).ObjectName, FName(), FName(), Old.ObjectPath(i + 1)));
  for (INT j = 0; j < NewExports; ++j)
    NewKeys.push_back(Key(New.ExportMap(j).ObjectName, FName(), FName(), New.ObjectPath(j + 1)));
  std::vector<INT> ExportNewToOld = MatchByKey(OldKeys, NewKeys);
  for (bool Changed = true; Changed;) {
    Changed = false;
    const std::vector<INT> OldToNew = Invert(ExportNewToOld, OldExports);
    for (INT j = 0; j < NewExports; ++j) {
      const INT i = ExportNewToOld[j];
      if (i < 0) continue;
      const FObjectExport& O = Old.ExportMap(i);
      const FObjectExport& N = New.ExportMap(j);
      const bool Ok = Renumber(O.ClassIndex, OldToNew, ImportOldToNew) == N.ClassIndex &&
                      Renumber(O.PackageIndex, OldToNew, ImportOldToNew) == N.PackageIndex &&
                      (O.ObjectFlags == N.ObjectFlags || N.ObjectFlags != KEPT_EXPORT_NO_FLAGS) &&
                      j < static_cast<INT>(KEPT_EXPORT_NEW_SUPER);
      if (!Ok) {
        ExportNewToOld[j] = -1;
        Changed = true;
      }
    }
  }
  return ExportNewToOld;
}

// The kept imports as OLD and NEW positions, then the changed ones whole.
void WriteImports(FBufferWriter& Ar, FPackageData& New, const std::vector<INT>& ImportNewToOld, DiffStats* Stats) {
  const INT NewImports = New.ImportMap.Num();
  INT Count = NewImports, KeptCount = 0, ChangedCount = 0;
  for (INT j = 0; j < NewImports; ++j) (ImportNewToOld[j] >= 0 ? KeptCount : ChangedCount)++;
  Ar << Count << KeptCount;
  for (INT j = 0; j < NewImports; ++j)
    if (ImportNewToOld[j] >= 0) {
      INT O = ImportNewToOld[j], N = j;
      Ar << O << N;
    }
  Ar << ChangedCount;
  for (INT j = 0; j < NewImports; ++j)
    if (ImportNewToOld[j] < 0) {
      FObjectImport Record = New.ImportMap(j);
      Ar << j << Record;
    }
  Stats->KeptImports = KeptCount;
  Stats->ChangedImports = ChangedCount;
}

// The kept exports as OLD position and NEW position, with new flags and super
// index where they differ; then the changed ones whole, without their data.
void WriteExports(FBufferWriter& Ar, FPackageData& Old, FPackageData& New, const std::vector<INT>& ExportNewToOld,
                  const std::vector<INT>& ExportOldToNew, const std::vector<INT>& ImportOldToNew, DiffStats* Stats) {
  const INT NewExports = New.ExportMap.Num();
  INT Count = NewExports, KeptCount = 0, ChangedCount = 0;
  for (INT j = 0; j < NewExports; ++j) (ExportNewToOld[j] >= 0 ? KeptCount : ChangedCount)++;
  Ar << Count << KeptCount;
  for (INT j = 0; j < NewExports; ++j) {
    const INT i = ExportNewToOld[j];
    if (i < 0) continue;
    const FObjectExport& O = Old.ExportMap(i);
    const FObjectExport& N = New.ExportMap(j);
    DWORD OldPos = static_cast<DWORD>(i), Word = static_cast<DWORD>(j);
    const bool NewFlags = O.ObjectFlags != N.ObjectFlags;
    const bool NewSuper = Renumber(O.SuperIndex, ExportOldToNew, ImportOldToNew) != N.SuperIndex;
    if (NewFlags) Word |= KEPT_EXPORT_NEW_FLAGS;
    if (NewSuper) Word |= KEPT_EXPORT_NEW_SUPER;
    Ar << OldPos << Word;
    DWORD F = N.ObjectFlags;
    INT S = N.SuperIndex;
    if (NewFlags) Ar << F;
    if (NewSuper) Ar << S;
  }
  Ar << ChangedCount;
  for (INT j = 0; j < NewExports; ++j)
    if (ExportNewToOld[j] < 0) {
      FObjectExport Record = New.ExportMap(j);
      Record.SerialSize = Record.SerialOffset = 0;
      Ar << j << Record;
    }
  Stats->KeptExports = KeptCount;
  Stats->ChangedExports = ChangedCount;
}

// Per export, the first object map position holding it, or -1.
std::vector<INT> ObjectOfExport(FPackageData& Pkg, INT Exports) {
  std::vector<INT> ObjectOf(Exports, -1);
  for (INT p = Pkg.ObjectMap.Num() - 1; p >= 0; --p)
    if (Pkg.ObjectMap(p).Index >= 0 && Pkg.ObjectMap(p).Index < Exports) ObjectOf[Pkg.ObjectMap(p).Index] = p;
  return ObjectOf;
}

// What becomes of the objects: OLD ones deleted (by object map position), NEW
// exports whose data is added whole, and NEW exports patched from OLD data.
struct FObjectPlan {
  std::vector<BYTE> Deleted;
  std::vector<INT> Added;
  std::vector<std::pair<INT, std::vector<FChunk>>> Patched;
};

// NEW export j's object data; empty when it has no object.
const TArray<BYTE>& NewObjectData(FPackageData& New, const std::vector<INT>& NewObjectOf, INT j) {
  static const TArray<BYTE> Empty;
  return NewObjectOf[j] >= 0 ? New.ObjectMap(NewObjectOf[j]).DataArray : Empty;
}

FObjectPlan PlanObjects(FPackageData& Old, FPackageData& New, const std::vector<INT>& ExportNewToOld,
                        const std::vector<INT>& ExportOldToNew, const std::vector<INT>& OldObjectOf,
                        const std::vector<INT>& NewObjectOf) {
  const INT OldExports = Old.ExportMap.Num(), NewExports = New.ExportMap.Num();
  FObjectPlan Plan;
  Plan.Deleted.assign(Old.ObjectMap.Num(), 0);
  for (INT p = 0; p < Old.ObjectMap.Num(); ++p) {
    const INT i = Old.ObjectMap(p).Index;
    if (i < 0 || i >= OldExports || ExportOldToNew[i] < 0 || OldObjectOf[i] != p) Plan.Deleted[p] = 1;
  }
  for (INT j = 0; j < NewExports; ++j) {
    const INT i = ExportNewToOld[j];
    const INT p = i >= 0 ? OldObjectOf[i] : -1;
    if (p < 0) {
      Plan.Added.push_back(j);
      continue;
    }
    const TArray<BYTE>& A = Old.ObjectMap(p).DataArray;
    const TArray<BYTE>& B = NewObjectData(New, NewObjectOf, j);
    if (A.Num() == B.Num() && (A.Num() == 0 || std::memcmp(A.GetData(), B.GetData(), A.Num()) == 0)) continue;
    std::vector<FChunk> Chunks = PatchChunks(static_cast<const BYTE*>(A.GetData()), A.Num(),
                                             static_cast<const BYTE*>(B.GetData()), B.Num());
    if (PatchCost(Chunks) < 12 + static_cast<int64_t>(B.Num())) {
      Plan.Patched.emplace_back(j, std::move(Chunks));
    } else {
      Plan.Deleted[p] = 1;
      Plan.Added.push_back(j);
    }
  }
  return Plan;
}

// The added objects' data, the deleted positions, then the patches.
void WriteObjects(FBufferWriter& Ar, FPackageData& Old, FPackageData& New, FObjectPlan& Plan,
                  const std::vector<INT>& ExportNewToOld, const std::vector<INT>& OldObjectOf,
                  const std::vector<INT>& NewObjectOf, DiffStats* Stats) {
  INT AddedCount = static_cast<INT>(Plan.Added.size());
  Ar << AddedCount;
  for (INT j : Plan.Added) {
    const TArray<BYTE>& B = NewObjectData(New, NewObjectOf, j);
    INT Length = B.Num();
    Ar << j << Length;
    if (Length) Ar.Serialize(const_cast<void*>(B.GetData()), Length);
  }
  INT DeletedCount = 0;
  for (BYTE D : Plan.Deleted) DeletedCount += D;
  Ar << DeletedCount;
  for (INT p = 0; p < static_cast<INT>(Plan.Deleted.size()); ++p)
    if (Plan.Deleted[p]) Ar << p;
  INT PatchedCount = static_cast<INT>(Plan.Patched.size());
  Ar << PatchedCount;
  for (auto& [j, Chunks] : Plan.Patched) {
    const TArray<BYTE>& B = NewObjectData(New, NewObjectOf, j);
    const INT OldLength = Old.ObjectMap(OldObjectOf[ExportNewToOld[j]]).DataArray.Num();
    INT Idx = j, Length = Min(OldLength, B.Num()), ChunkCount = static_cast<INT>(Chunks.size());
    Ar << Idx << Length << ChunkCount;
    for (FChunk& C : Chunks) {
      Ar << C.Pos << C.Length;
      Ar.Serialize(const_cast<BYTE*>(static_cast<const BYTE*>(B.GetData()) + C.Pos), C.Length);
    }
  }
  Stats->AddedObjects = AddedCount;
  Stats->DeletedObjects = DeletedCount;
  Stats->PatchedObjects = PatchedCount;
}

}  // namespace

NameSnapshot SnapshotNames(FPackageData& Pkg) {
  NameSnapshot S;
  for (INT i = 0; i < Pkg.NameMap.Num(); ++i) {
    const FNameEntry* E = FName::GetEntry(Pkg.NameMap(i).GetIndex());
    S.Text.push_back(E->Name);
    S.Flags.push_back(E->Flags);
  }
  return S;
}

bool MakeDiff(FPackageData& Old, const NameSnapshot& OldNames, FPackageData& New, std::vector<BYTE>* Out,
              DiffStats* Stats, std::string* Error) {
  *Stats = DiffStats();
  if (New.Summary.Version() < PACKAGE_GENERATIONS_VERSION) {
    *Error = "the new package must have file version 68 or above";
    return false;
  }

  std::vector<FNameEntry> NewEntries = ReadNameEntries(New);
  std::unordered_map<INT, INT> SlotOf;
  for (INT i = 0; i < New.NameMap.Num(); ++i) SlotOf[New.NameMap(i).GetIndex()] = i;
  FBufferWriter Ar(PACKAGE_FILE_VERSION, [&](const FName& N) {
    auto It = SlotOf.find(N.GetIndex());
    return It == SlotOf.end() ? 0 : It->second;
  });

  INT Version = New.Summary.FileVersion;
  DWORD Flags = New.Summary.PackageFlags;
  FGuid Guid = New.Summary.Guid;
  Ar << Version << Flags << Guid;
  WriteNames(Ar, New, OldNames, NewEntries, Stats);

  const std::vector<INT> ImportNewToOld = MatchImports(Old, New);
  const std::vector<INT> ImportOldToNew = Invert(ImportNewToOld, Old.ImportMap.Num());
  const std::vector<INT> ExportNewToOld = MatchExports(Old, New, ImportOldToNew);
  const std::vector<INT> ExportOldToNew = Invert(ExportNewToOld, Old.ExportMap.Num());
  WriteImports(Ar, New, ImportNewToOld, Stats);
  WriteExports(Ar, Old, New, ExportNewToOld, ExportOldToNew, ImportOldToNew, Stats);

  // Objects.
  const std::vector<INT> OldObjectOf = ObjectOfExport(Old, Old.ExportMap.Num());
  const std::vector<INT> NewObjectOf = ObjectOfExport(New, New.ExportMap.Num());
  FObjectPlan Plan = PlanObjects(Old, New, ExportNewToOld, ExportOldToNew, OldObjectOf, NewObjectOf);
  WriteObjects(Ar, Old, New, Plan, ExportNewToOld, OldObjectOf, NewObjectOf, Stats);
  *Out = std::move(Ar.Bytes);
  return true;
}

}  // namespace pkgtool
