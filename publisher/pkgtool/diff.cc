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

  // NEW's name entries as stored (the engine keeps one spelling per name).
  std::vector<FNameEntry> NewEntries(New.NameMap.Num());
  if (New.Summary.NameCount > 0) New.Seek(New.Summary.NameOffset);
  for (FNameEntry& E : NewEntries) {
    appMemzero(&E, sizeof(E));
    New << E;
  }
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

  // Names: kept when Gleaner's copy of the engine entry gives NEW's text and
  // flags exactly.
  {
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
  // index is NEW's.
  const INT OldImports = Old.ImportMap.Num(), NewImports = New.ImportMap.Num();
  std::vector<INT> ImportNewToOld;
  {
    std::vector<std::wstring> OldKeys, NewKeys;
    for (INT i = 0; i < OldImports; ++i) {
      const FObjectImport& I = Old.ImportMap(i);
      OldKeys.push_back(Key(I.ClassPackage, I.ClassName, I.ObjectName, Old.ObjectPath(-i - 1)));
    }
    for (INT j = 0; j < NewImports; ++j) {
      const FObjectImport& I = New.ImportMap(j);
      NewKeys.push_back(Key(I.ClassPackage, I.ClassName, I.ObjectName, New.ObjectPath(-j - 1)));
    }
    ImportNewToOld = MatchByKey(OldKeys, NewKeys);
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
  }
  const std::vector<INT> ImportOldToNew = Invert(ImportNewToOld, OldImports);

  // Exports: matched by name and path; kept while the renumbered class and
  // package are NEW's (flags and super index may be given anew).
  const INT OldExports = Old.ExportMap.Num(), NewExports = New.ExportMap.Num();
  std::vector<INT> ExportNewToOld;
  {
    std::vector<std::wstring> OldKeys, NewKeys;
    for (INT i = 0; i < OldExports; ++i)
      OldKeys.push_back(Key(Old.ExportMap(i).ObjectName, FName(), FName(), Old.ObjectPath(i + 1)));
    for (INT j = 0; j < NewExports; ++j)
      NewKeys.push_back(Key(New.ExportMap(j).ObjectName, FName(), FName(), New.ObjectPath(j + 1)));
    ExportNewToOld = MatchByKey(OldKeys, NewKeys);
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
  }
  const std::vector<INT> ExportOldToNew = Invert(ExportNewToOld, OldExports);

  {
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
  {
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

  // Objects.
  std::vector<INT> OldObjectOf(OldExports, -1), NewObjectOf(NewExports, -1);
  for (INT p = Old.ObjectMap.Num() - 1; p >= 0; --p)
    if (Old.ObjectMap(p).Index >= 0 && Old.ObjectMap(p).Index < OldExports) OldObjectOf[Old.ObjectMap(p).Index] = p;
  for (INT p = New.ObjectMap.Num() - 1; p >= 0; --p)
    if (New.ObjectMap(p).Index >= 0 && New.ObjectMap(p).Index < NewExports) NewObjectOf[New.ObjectMap(p).Index] = p;
  std::vector<BYTE> Deleted(Old.ObjectMap.Num(), 0);
  for (INT p = 0; p < Old.ObjectMap.Num(); ++p) {
    const INT i = Old.ObjectMap(p).Index;
    if (i < 0 || i >= OldExports || ExportOldToNew[i] < 0 || OldObjectOf[i] != p) Deleted[p] = 1;
  }
  std::vector<INT> Added;
  std::vector<std::pair<INT, std::vector<FChunk>>> Patched;
  static const TArray<BYTE> Empty;
  auto NewData = [&](INT j) -> const TArray<BYTE>& {
    return NewObjectOf[j] >= 0 ? New.ObjectMap(NewObjectOf[j]).DataArray : Empty;
  };
  for (INT j = 0; j < NewExports; ++j) {
    const INT i = ExportNewToOld[j];
    const INT p = i >= 0 ? OldObjectOf[i] : -1;
    if (p < 0) {
      Added.push_back(j);
      continue;
    }
    const TArray<BYTE>& A = Old.ObjectMap(p).DataArray;
    const TArray<BYTE>& B = NewData(j);
    if (A.Num() == B.Num() && (A.Num() == 0 || std::memcmp(A.GetData(), B.GetData(), A.Num()) == 0)) continue;
    std::vector<FChunk> Chunks = PatchChunks(static_cast<const BYTE*>(A.GetData()), A.Num(),
                                             static_cast<const BYTE*>(B.GetData()), B.Num());
    if (PatchCost(Chunks) < 12 + static_cast<int64_t>(B.Num())) {
      Patched.emplace_back(j, std::move(Chunks));
    } else {
      Deleted[p] = 1;
      Added.push_back(j);
    }
  }

  INT AddedCount = static_cast<INT>(Added.size());
  Ar << AddedCount;
  for (INT j : Added) {
    const TArray<BYTE>& B = NewData(j);
    INT Length = B.Num();
    Ar << j << Length;
    if (Length) Ar.Serialize(const_cast<void*>(B.GetData()), Length);
  }
  INT DeletedCount = 0;
  for (BYTE D : Deleted) DeletedCount += D;
  Ar << DeletedCount;
  for (INT p = 0; p < static_cast<INT>(Deleted.size()); ++p)
    if (Deleted[p]) Ar << p;
  INT PatchedCount = static_cast<INT>(Patched.size());
  Ar << PatchedCount;
  for (auto& [j, Chunks] : Patched) {
    const TArray<BYTE>& B = NewData(j);
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
  *Out = std::move(Ar.Bytes);
  return true;
}

}  // namespace pkgtool
