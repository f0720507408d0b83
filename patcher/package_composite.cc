#include "patcher/package_composite.h"

#include <cstring>
#include <unordered_map>

// The kept-export checks compare positions as unsigned numbers.
#pragma GCC diagnostic ignored "-Wsign-compare"

namespace {

// Bytes of the difference file not read yet (everything when the size is not
// known).
int64_t Remaining(FArchive& Ar) {
  const INT Size = Ar.TotalSize();
  if (Size < 0) return MAXINT;
  return static_cast<int64_t>(Size) - Ar.GetPosition();
}

// Arrays may be moved by copying their bytes (see containers.h).
template <class T>
void SwapArrays(TArray<T>& A, TArray<T>& B) {
  alignas(TArray<T>) unsigned char Tmp[sizeof(TArray<T>)];
  std::memcpy(Tmp, static_cast<void*>(&A), sizeof(Tmp));
  std::memcpy(static_cast<void*>(&A), static_cast<void*>(&B), sizeof(Tmp));
  std::memcpy(static_cast<void*>(&B), Tmp, sizeof(Tmp));
}

// The new position of the first kept item with each old position: the lists
// are searched from their start, and only the first match counts.
template <class K, class List>
std::unordered_map<K, INT> FirstMatches(const List& Kept) {
  std::unordered_map<K, INT> First;
  First.reserve(Kept.Num());
  for (INT k = 0; k < Kept.Num(); ++k) First.emplace(static_cast<K>(Kept(k).OldPos), static_cast<INT>(Kept(k).NewPos));
  return First;
}

}  // namespace

void FPackageComposite::ReadByteString(TArray<BYTE>& Bytes) {
  INT Length = 0;
  *this << Length;
  patch_check(Length >= 0);
  // Checked before allocating: the bytes must be in the file.
  patch_check(Length <= Remaining(*this));
  Bytes.Empty(Length);
  Bytes.Add(Length);
  if (Length) Serialize(Bytes.GetData(), Length);
}

void FPackageComposite::Compose(FPackageData& OldPkgData) {
  // 1-2. The old summary, then the new version, flags and GUID.
  Summary.Tag = OldPkgData.Summary.Tag;
  Summary.FileVersion = OldPkgData.Summary.FileVersion;
  Summary.PackageFlags = OldPkgData.Summary.PackageFlags;
  Summary.NameCount = OldPkgData.Summary.NameCount;
  Summary.NameOffset = OldPkgData.Summary.NameOffset;
  Summary.ExportCount = OldPkgData.Summary.ExportCount;
  Summary.ExportOffset = OldPkgData.Summary.ExportOffset;
  Summary.ImportCount = OldPkgData.Summary.ImportCount;
  Summary.ImportOffset = OldPkgData.Summary.ImportOffset;
  Summary.Guid = OldPkgData.Summary.Guid;
  Summary.Generations = OldPkgData.Summary.Generations;

  INT DiffFileVersion = 0;
  *this << DiffFileVersion;
  // Only the newer summary layout can be written.
  patch_check((DiffFileVersion & 0xFFFF) >= 68);
  Summary.FileVersion = DiffFileVersion;
  *this << Summary.PackageFlags;
  *this << Summary.Guid;

  ComposeNames(OldPkgData);
  ComposeImports(OldPkgData);
  ComposeExports(OldPkgData);

  // 6. The offsets stay the old ones until the writer sets them.
  Summary.NameCount = NameMap.Num();
  Summary.ImportCount = ImportMap.Num();
  Summary.ExportCount = ExportMap.Num();

  // Patches may lengthen objects by no more than the two files hold
  // together: every byte a difference file adds to an object is either in
  // the difference file or taken over from the old package. (The growth
  // patch by patch is bounded as well; this bounds their sum, which a file
  // that lengthens one object again and again would drive to the square of
  // its size.)
  int64_t GrowthBudget = TotalSize() < 0 ? static_cast<int64_t>(MAXINT) : TotalSize();
  for (INT p = 0; p < OldPkgData.ObjectMap.Num(); ++p) GrowthBudget += OldPkgData.ObjectMap(p).DataArray.Num();

  ComposeObjects(OldPkgData);
  PatchObjects(GrowthBudget);
}

void FPackageComposite::ComposeNames(FPackageData& OldPkgData) {
  INT NewCount = 0;
  *this << NewCount;
  patch_check(NewCount >= 0);
  // Every slot is assigned by at least eight bytes of the file.
  patch_check(NewCount <= Remaining(*this));
  NameMap.AddZeroed(NewCount);
  NameEntries.AddZeroed(NewCount);
  TArray<BYTE> Assigned;
  Assigned.AddZeroed(NewCount);

  INT KeptNameCount = 0;
  *this << KeptNameCount;
  patch_check(KeptNameCount >= 0);
  for (INT i = 0; i < KeptNameCount; ++i) {
    INT OldPos = 0, NewPos = 0;
    *this << OldPos << NewPos;
    patch_check(OldPos >= 0);
    patch_check(OldPos < OldPkgData.NameMap.Num());
    patch_check(NewPos >= 0);
    patch_check(NewPos < NameMap.Num());
    NameMap(NewPos) = OldPkgData.NameMap(OldPos);
    NameEntries(NewPos) = *FName::GetEntry(NameMap(NewPos).GetIndex());
    Assigned(NewPos) = 1;
  }

  INT AddedNameCount = 0;
  *this << AddedNameCount;
  patch_check(AddedNameCount >= 0);
  for (INT i = 0; i < AddedNameCount; ++i) {
    INT Idx = 0;
    *this << Idx;
    patch_check(Idx >= 0);
    patch_check(Idx < NameMap.Num());
    FNameEntry Entry;
    appMemzero(&Entry, sizeof(Entry));
    *this << Entry;
    NameEntries(Idx) = Entry;
    NameMap(Idx) = FName(Entry.Name, FNAME_Add);
    NameMap(Idx).SetFlags(Entry.Flags);
    Assigned(Idx) = 1;
  }

  for (INT i = 0; i < NewCount; ++i) patch_check(Assigned(i));
}

void FPackageComposite::ComposeImports(FPackageData& OldPkgData) {
  INT NewCount = 0;
  *this << NewCount;
  patch_check(NewCount >= 0);
  patch_check(NewCount <= Remaining(*this));
  ImportMap.AddZeroed(NewCount);

  INT KeptImportCount = 0;
  *this << KeptImportCount;
  patch_check(KeptImportCount >= 0);
  for (INT i = 0; i < KeptImportCount; ++i) {
    INT OldPos = 0, NewPos = 0;
    *this << OldPos << NewPos;
    patch_check(OldPos >= 0);
    patch_check(OldPos < OldPkgData.ImportMap.Num());
    patch_check(NewPos >= 0);
    patch_check(NewPos < ImportMap.Num());
    KeptImports.AddItem(FKeptImport{OldPos, NewPos});
  }
  const std::unordered_map<int64_t, INT> FirstImport = FirstMatches<int64_t>(KeptImports);
  for (INT i = 0; i < KeptImports.Num(); ++i) {
    FObjectImport& Import = ImportMap(KeptImports(i).NewPos);
    Import = OldPkgData.ImportMap(KeptImports(i).OldPos);
    if (Import.PackageIndex < 0) {
      auto It = FirstImport.find(-static_cast<int64_t>(Import.PackageIndex) - 1);
      if (It != FirstImport.end()) Import.PackageIndex = -It->second - 1;
    }
  }

  INT ChangedImportCount = 0;
  *this << ChangedImportCount;
  patch_check(ChangedImportCount >= 0);
  for (INT i = 0; i < ChangedImportCount; ++i) {
    INT Idx = 0;
    *this << Idx;
    patch_check(Idx >= 0);
    patch_check(Idx < ImportMap.Num());
    *this << ImportMap(Idx);
  }
}

void FPackageComposite::ComposeExports(FPackageData& OldPkgData) {
  INT NewCount = 0;
  *this << NewCount;
  patch_check(NewCount >= 0);
  patch_check(NewCount <= Remaining(*this));
  ExportMap.AddZeroed(NewCount);

  INT KeptExportCount = 0;
  *this << KeptExportCount;
  patch_check(KeptExportCount >= 0);
  for (INT i = 0; i < KeptExportCount; ++i) {
    DWORD OldPos = 0, Word = 0;
    *this << OldPos << Word;
    FKeptExport Kept{OldPos, 0, KEPT_EXPORT_NO_FLAGS, 0, 0};
    if (Word & KEPT_EXPORT_NEW_FLAGS) {
      *this << Kept.NewFlags;
      Word &= ~KEPT_EXPORT_NEW_FLAGS;
    }
    if (Word & KEPT_EXPORT_NEW_SUPER) {
      *this << Kept.NewSuper;
      Kept.bNewSuper = 1;
      Word &= ~KEPT_EXPORT_NEW_SUPER;
    }
    const DWORD NewPos = Word;
    Kept.NewPos = NewPos;
    patch_check(OldPos < OldPkgData.ExportMap.Num());
    patch_check(NewPos < ExportMap.Num());
    KeptExports.AddItem(Kept);
  }

  const std::unordered_map<int64_t, INT> FirstExport = FirstMatches<int64_t>(KeptExports);
  const std::unordered_map<int64_t, INT> FirstImport = FirstMatches<int64_t>(KeptImports);
  for (INT i = 0; i < KeptExports.Num(); ++i) {
    const FKeptExport& Kept = KeptExports(i);
    FObjectExport& Export = ExportMap(static_cast<INT>(Kept.NewPos));
    Export = OldPkgData.ExportMap(static_cast<INT>(Kept.OldPos));
    if (Kept.NewFlags != KEPT_EXPORT_NO_FLAGS) Export.ObjectFlags = Kept.NewFlags;

    // References to old exports, then to old imports, each renumbered by
    // the first matching item of its list.
    for (INT* Ref : {&Export.PackageIndex, &Export.ClassIndex, &Export.SuperIndex}) {
      if (*Ref > 0) {
        auto It = FirstExport.find(static_cast<int64_t>(*Ref) - 1);
        if (It != FirstExport.end()) *Ref = It->second + 1;
      } else if (*Ref < 0) {
        auto It = FirstImport.find(-static_cast<int64_t>(*Ref) - 1);
        if (It != FirstImport.end()) *Ref = -It->second - 1;
      }
    }
    if (Kept.bNewSuper) Export.SuperIndex = Kept.NewSuper;
  }

  INT ChangedExportCount = 0;
  *this << ChangedExportCount;
  patch_check(ChangedExportCount >= 0);
  for (INT i = 0; i < ChangedExportCount; ++i) {
    INT Idx = 0;
    *this << Idx;
    patch_check(Idx >= 0);
    patch_check(Idx < ExportMap.Num());
    *this << ExportMap(Idx);
  }
}

void FPackageComposite::ComposeObjects(FPackageData& OldPkgData) {
  // 7. Added objects, in file order; their paths are held to the difference
  // file's size as the old package's are to its own.
  const INT DiffSize = TotalSize();
  int64_t PathBudget = DiffSize < 0 ? static_cast<int64_t>(MAXINT) : FPackageData::PathBudget(DiffSize);
  INT AddedObjectCount = 0;
  *this << AddedObjectCount;
  patch_check(AddedObjectCount >= 0);
  for (INT i = 0; i < AddedObjectCount; ++i) {
    INT Idx = 0;
    *this << Idx;
    patch_check(Idx >= 0);
    FObjectData* Data = new (ObjectMap) FObjectData;
    Data->Index = Idx;
    ReadByteString(Data->DataArray);
    if (Idx >= ExportMap.Num()) {
      GError->Logf(LocalizeError(TEXT("ExportIndex"), TEXT("Core")), Idx, ExportMap.Num());
      return;
    }
    FString Path = ObjectPath(Idx + 1, &PathBudget);
    ObjectMap.Last().ObjPath = Path;
  }

  // 8. Deleted old objects.
  INT DeletedObjectCount = 0;
  *this << DeletedObjectCount;
  patch_check(DeletedObjectCount >= 0);
  TArray<BYTE> Deleted;
  Deleted.AddZeroed(OldPkgData.ObjectMap.Num());
  TArray<INT> ArrayDeletedIndex;
  for (INT i = 0; i < DeletedObjectCount; ++i) {
    INT Pos = 0;
    *this << Pos;
    ArrayDeletedIndex.AddItem(Pos);
    patch_check(ArrayDeletedIndex(i) >= 0);
    patch_check(ArrayDeletedIndex(i) < OldPkgData.ObjectMap.Num());
    Deleted(Pos) = 1;
  }

  // 9. Kept objects, in old order, renumbered through the kept exports.
  const std::unordered_map<int64_t, INT> FirstExport = FirstMatches<int64_t>(KeptExports);
  for (INT p = 0; p < OldPkgData.ObjectMap.Num(); ++p) {
    if (Deleted(p)) continue;
    // The old package's bytes and path are not read again: they are taken
    // over rather than copied (the old entry keeps empty arrays).
    FObjectData& From = OldPkgData.ObjectMap(p);
    FObjectData* Data = new (ObjectMap) FObjectData;
    Data->Index = From.Index;
    SwapArrays(Data->ObjPath, From.ObjPath);
    SwapArrays(Data->DataArray, From.DataArray);
    auto It = FirstExport.find(static_cast<int64_t>(static_cast<DWORD>(Data->Index)));
    if (It != FirstExport.end()) Data->Index = It->second;
  }
}

void FPackageComposite::PatchObjects(int64_t GrowthBudget) {
  int64_t Growth = 0;
  std::unordered_map<INT, INT> FirstObject;
  for (INT j = 0; j < ObjectMap.Num(); ++j) FirstObject.emplace(ObjectMap(j).Index, j);
  INT PatchedObjectCount = 0;
  *this << PatchedObjectCount;
  patch_check(PatchedObjectCount >= 0);
  for (INT i = 0; i < PatchedObjectCount; ++i) {
    INT Idx = 0, NewLength = 0, ChunkCount = 0;
    *this << Idx << NewLength << ChunkCount;
    patch_check(Idx >= 0);
    patch_check(Idx < ExportMap.Num());
    // The first object of the export (the objects do not move while patched).
    auto Found = FirstObject.find(Idx);
    const INT j = Found == FirstObject.end() ? ObjectMap.Num() : Found->second;
    patch_check(j < ObjectMap.Num());
    TArray<BYTE>& Data = ObjectMap(j).DataArray;
    if (NewLength < Data.Num()) {
      // A negative length fails the container's own check.
      Data.Remove(NewLength, NewLength < 0 ? 0 : Data.Num() - NewLength);
    } else if (NewLength > Data.Num()) {
      // The new bytes are zero. A difference file has to supply every one
      // of them, so there cannot be more than the file still holds.
      patch_check(NewLength - Data.Num() <= Remaining(*this));
      Growth += NewLength - Data.Num();
      patch_check(Growth <= GrowthBudget);
      Data.AddZeroed(NewLength - Data.Num());
    }

    patch_check(ChunkCount >= 0);
    UBOOL bAppended = 0;
    for (INT c = 0; c < ChunkCount; ++c) {
      INT Pos = 0, Length = 0;
      *this << Pos << Length;
      patch_check(Length >= 0);
      patch_check(Length <= Remaining(*this));
      patch_check(Pos >= 0);
      if (Pos < ObjectMap(j).DataArray.Num()) {
        patch_check(static_cast<int64_t>(Pos) + Length <= ObjectMap(j).DataArray.Num());
        if (Length) Serialize(&Data(Pos), Length);
      } else {
        patch_check(!bAppended);
        patch_check(Pos == ObjectMap(j).DataArray.Num());
        Growth += Length;
        patch_check(Growth <= GrowthBudget);
        const INT At = Data.AddZeroed(Length);
        if (Length) Serialize(&Data(At), Length);
        bAppended = 1;
      }
    }
  }
}
